// Stands in for the center's verbs until their own files are in the build:
// the verbs are known, and say plainly that they are not built.
#include <cstdio>

#include "tools/dorvane-mqtt/center.h"

namespace {

int notBuilt(const char* verb) {
    fprintf(stderr, "dorvane-mqtt: %s: not built\n", verb);
    return 1;
}

}  // namespace

int centerStatus(int /*argc*/, char** argv) {
    return notBuilt(argv[0]);
}

int centerEvents(int /*argc*/, char** argv) {
    return notBuilt(argv[0]);
}
