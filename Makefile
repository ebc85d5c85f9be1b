# Entry points: `make demo` runs the service against the simulated site;
# `make test` builds everything and runs the tests.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench soak fleet sanitize fuzz memcheck package cross lint check-static clang check clean

all: build

deps:
	@scripts/deps.sh

# Configures when the build folder is new, and again whenever CMAKE_FLAGS is
# given, so that flags are never silently ignored (CMake keeps them cached).
build: deps
	@if [ ! -f $(BUILD)/CMakeCache.txt ] || [ -n "$(CMAKE_FLAGS)" ]; then \
	    cmake --preset default -B $(BUILD) $(CMAKE_FLAGS); fi
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	$(BUILD)/bench/dorvane_bench --json $(BUILD)/bench-results.json

# The service against the simulated site for SOAK_MINUTES at SOAK_RATE scans
# a second, with daemon restarts, reloads and database replacements; every
# scan accounted for (scripts/soak.sh).
SOAK_MINUTES ?= 10
SOAK_RATE ?= 200
soak: build
	scripts/soak.sh $(SOAK_MINUTES) $(SOAK_RATE) $(BUILD)

# A simulated fleet of FLEET_UNITS units and one broker for FLEET_MINUTES at
# FLEET_RATE scans a second, with faults on a schedule and two signed code
# sets; its verdict accounts for every scan and set (scripts/fleet.sh).
FLEET_UNITS ?= 3
FLEET_MINUTES ?= 2
FLEET_RATE ?= 30
fleet: build
	scripts/fleet.sh $(FLEET_UNITS) $(FLEET_MINUTES) $(FLEET_RATE) $(BUILD)

sanitize: deps
	scripts/sanitize.sh

fuzz: deps
	scripts/deps.sh clang libclang-rt-14-dev
	scripts/fuzz.sh 60

memcheck: build
	scripts/deps.sh valgrind
	scripts/memcheck.sh $(BUILD)

package: build
	scripts/package.sh $(BUILD)

cross: deps
	scripts/cross.sh build-armhf

# The formatting, the file sizes and clang-tidy (scripts/static-checks.sh).
lint check-static:
	scripts/static-checks.sh

# The clang build (the thread-safety analysis on, warnings as errors) and its
# tests, but the fleet link's tests against a broker (make test runs them).
clang: deps
	scripts/deps.sh clang
	cmake --preset clang >/dev/null
	cmake --build --preset clang -j$(JOBS)
	ctest --preset clang -j$(JOBS) -LE fleet

# Everything CI runs.
check:
	CI=true .ci/run

clean:
	rm -rf $(BUILD) build-clang build-asan build-tsan build-fuzz build-armhf
