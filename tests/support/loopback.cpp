#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testutil {

namespace {

const unsigned short kPort = 60000;  // the service's fixed port
const unsigned kFirstBlock = 8 * 256;
const unsigned kBlocks = 247 * 256;  // 127.8.0.0/24 to 127.254.255.0/24
const unsigned kCheckedHosts = 8;    // the hosts tests use, checked for a listener
const unsigned kTries = 64;

// A TCP socket bound to address:kPort, or -1. Bound with SO_REUSEADDR it only
// fails where a socket listens; without, wherever one is bound at all.
int bindTo(const std::string& address, bool reuse) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    if (reuse) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string blockPrefix(unsigned block) {
    unsigned n = kFirstBlock + block % kBlocks;
    return "127." + std::to_string(n / 256) + "." + std::to_string(n % 256) + ".";
}

// "127.x.y." of a block this process now holds.
std::string reserveBlock() {
    unsigned start = static_cast<unsigned>(getpid());
    for (unsigned i = 0; i < kTries; ++i) {
        std::string prefix = blockPrefix(start + i);
        int hold = bindTo(prefix + "1", false);
        if (hold < 0) {
            continue;  // another process holds it
        }
        bool free = true;
        for (unsigned h = 0; h < kCheckedHosts && free; ++h) {
            int fd = bindTo(prefix + std::to_string(2 + h), true);
            free = fd >= 0;
            if (fd >= 0) {
                close(fd);
            }
        }
        if (free) {
            return prefix;  // hold stays open until the process ends
        }
        close(hold);
    }
    fprintf(stderr, "no free loopback block for the tests after %u tries from %s0/24\n", kTries,
            blockPrefix(start).c_str());
    exit(2);
}

}  // namespace

std::string loopbackAddress(unsigned host) {
    static const std::string prefix = reserveBlock();
    return prefix + std::to_string(2 + host % 250);
}

}  // namespace testutil
