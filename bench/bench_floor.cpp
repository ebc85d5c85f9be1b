#include "bench/bench_floor.h"

#include <sched.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

#include "bench/bench_peer.h"
#include "bench/bench_site.h"
#include "tests/support/loopback.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace bench {

namespace {

// Longer than a loopback round trip between two idle CPUs, so that a
// spinning end finds the reply before it sleeps; on one CPU the other end
// cannot run meanwhile, and the spin only costs.
const int kSpinMicros = 100;
const unsigned short kFloorPort = 60001;

std::vector<int> allowedCpus() {
    cpu_set_t set;
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) {
        die(std::string("sched_getaffinity: ") + strerror(errno));
    }
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) {
            cpus.push_back(c);
        }
    }
    return cpus;
}

// Pins the calling thread to cpus (one or more).
void pinThread(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus) {
        CPU_SET(c, &set);
    }
    if (sched_setaffinity(0, sizeof(set), &set) != 0) {
        die(std::string("sched_setaffinity: ") + strerror(errno));
    }
}

double lookupP50(const std::string& dir, int codes, int samples) {
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir + "/access.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT sc, reader FROM codes WHERE sc = ?", -1, &st, nullptr);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, codes - 1);
    std::vector<double> look;
    for (int i = 0; i < samples; ++i) {
        std::string c = code(pick(rng));
        auto t0 = Clock::now();
        sqlite3_bind_text(st, 1, c.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW) {
            die("floor lookup found nothing");
        }
        sqlite3_reset(st);
        look.push_back(micros(Clock::now() - t0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return percentiles(look).p50;
}

std::vector<uint8_t> setBytes() {
    VMsg set(vmsg::MSG_SET, 1);
    cObjectDOutput out;
    out.setPortLabel(outputLabel(0).c_str());
    ulxobj::appendObject(set, out);
    std::vector<uint8_t> bytes;
    vmsg::encode(set, bytes);
    return bytes;
}

// The median round trip in mode between cpus[0] and (two CPUs) cpus[1].
double roundTrip(const FloorMode& mode, const std::vector<int>& cpus, int samples) {
    std::string address = testutil::loopbackAddress(1);
    int listener = listenOn(address.c_str(), kFloorPort);
    std::vector<uint8_t> ev = eventBytes(1, code(0)), reply = setBytes();
    int eventSpin = mode.eventSpin ? kSpinMicros : 0;
    int replySpin = mode.replySpin ? kSpinMicros : 0;
    pinThread({cpus[0]});
    std::thread server([&] {
        pinThread({cpus[mode.twoCpus ? 1 : 0]});
        Conn c(acceptOne(listener, 5000));
        for (int i = 0; i < samples && c.read(5000, nullptr, eventSpin); ++i) {
            c.sendBytes(reply);
        }
    });
    std::vector<double> rtt;
    {
        Conn client(connectTo(address, kFloorPort));
        for (int i = 0; i < samples; ++i) {
            Clock::time_point t0 = Clock::now(), first;
            client.sendBytes(ev);
            if (!client.read(5000, &first, replySpin)) {
                die("floor round trip");
            }
            rtt.push_back(micros(first - t0));
        }
    }
    server.join();
    close(listener);
    pinThread(cpus);
    return percentiles(rtt).p50;
}

}  // namespace

std::vector<FloorMode> floorModes(const std::string& profile) {
    if (profile == "one") {
        return {{false, true, true, "one CPU, spin"}, {false, false, false, "one CPU, sleep"}};
    }
    // The event's receiver sleeps in every mode here: an idle service never
    // spins.
    std::vector<FloorMode> modes = {{false, false, true, "same CPU, reply spins"},
                                    {false, false, false, "same CPU, sleep"}};
    if (allowedCpus().size() >= 2) {
        modes.push_back({true, false, true, "two CPUs, reply spins"});
        modes.push_back({true, false, false, "two CPUs, sleep"});
    }
    return modes;
}

void runFloor(const std::string& dir, Result& res, int samples) {
    res.lookupP50 = lookupP50(dir, res.codes, samples);
    std::vector<int> cpus = allowedCpus();
    res.rttP50.clear();
    res.rttModes.clear();
    for (const FloorMode& mode : floorModes(res.profile)) {
        res.rttP50.push_back(roundTrip(mode, cpus, samples));
        res.rttModes.push_back(mode.name);
    }
}

}  // namespace bench
