// The loopback addresses of one test process, so that suites running at the
// same time on one machine (two build folders, two clones, ctest -j) never
// meet on 127.x.y.z:60000.
#ifndef DORVANE_TESTS_SUPPORT_LOOPBACK_H
#define DORVANE_TESTS_SUPPORT_LOOPBACK_H

#include <string>

namespace testutil {

// Address number host (0 to 249) of this process's own block of 127.0.0.0/8.
// The block is derived from the process id; it is checked free and then held
// (a socket bound, never listening, on its first address at port 60000) for
// the life of the process, so no other process that uses this function gets
// it, and no listener is on its first addresses. Blocks lie in 127.8.0.0 to
// 127.254.255.255: never 127.0.0.1, the service's default host. Any thread;
// the block is chosen on the first call. When no free block is found the
// process says so on standard error and exits with status 2.
std::string loopbackAddress(unsigned host = 0);

}  // namespace testutil

#endif
