// VSocket: the socket side of the site object protocol, apart from the codec
// (VWire.h), for the peers that speak it: the client, the simulated site,
// the test daemon and the benchmark.
//
// Every function keeps no state of its own: any thread may call it, on a
// descriptor that no other thread uses meanwhile. Nothing throws; failures
// are return values.
#ifndef DORVANE_PLATFORM_VNET_VSOCKET_H
#define DORVANE_PLATFORM_VNET_VSOCKET_H

#include <cstdint>
#include <string>
#include <vector>

namespace vnet {

// A new TCP socket listening on the IPv4 address (dotted, such as
// "127.0.0.1") and port, close-on-exec, with SO_REUSEADDR so that a peer can
// listen again at once after a restart. The caller owns the descriptor and
// closes it. -1 when the address is not an IPv4 address or the socket
// cannot listen; then *why (when not null) says why in a few words.
int listenOn(const char* address, unsigned short port, int backlog, std::string* why);

// Writes all of bytes to the stream socket fd, going on after a partial
// write or EINTR, never raising SIGPIPE. Blocks, with no timeout of its
// own, until every byte is written or the connection fails (a blocking fd
// whose peer reads nothing blocks it for as long as that lasts). False when
// the connection failed; how much was written is then unknown. fd stays the
// caller's.
bool sendAll(int fd, const std::vector<uint8_t>& bytes);

}  // namespace vnet

#endif
