// The server side of ulxd-sim: its clients and what it sends them.
//
// Whatever the clients do, its memory stays bounded: every client has its
// own queue of unsent bytes, written without waiting. A client that lags
// more than kPauseInput behind pauses the reading of commands, as a
// blocking write would, so that a fast producer of events is paced by the
// service; one that takes nothing for kStall no longer does, and a client
// whose unsent bytes pass kMaxUnsent is dropped. The other clients are
// served all along. One thread runs all of it.
#ifndef DORVANE_TOOLS_ULXD_SIM_SERVER_H
#define DORVANE_TOOLS_ULXD_SIM_SERVER_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "tools/ulxd-sim/site.h"
#include "vmsg/VFrameReader.h"
#include "vmsg/VFrameWriter.h"
#include "vmsg/VMsg.h"

namespace ulxdsim {

using Clock = std::chrono::steady_clock;

const size_t kMaxUnsent = 1024 * 1024;  // per client
const size_t kPauseInput = 256 * 1024;  // per client
const Clock::duration kStall = std::chrono::seconds(5);
const size_t kMaxClients = 64;  // accept() never runs out of descriptors

struct Client {
    int fd = -1;
    vmsg::cFrameReader in;
    vmsg::cFrameWriter out;
    bool dead = false;  // closed at the end of the loop turn

    bool stalled(Clock::time_point now) const {
        return out.unsent() > 0 && now - out.lastTaken() > kStall;
    }
};

struct Sim {
    std::vector<Port> ports;
    std::vector<Client> clients;
    uint8_t eventSeq = 0;
    bool noSetReply = false;
};

// Queues bytes (or msg) for every client and writes what each takes.
void broadcast(Sim& sim, const std::vector<uint8_t>& bytes);
void broadcast(Sim& sim, const VMsg& msg);

// Closes every client connection.
void dropAll(Sim& sim);

// Takes a new client from listener, or drops it when kMaxClients are
// connected already.
void acceptClient(Sim& sim, int listener);

// Serves what poll reported (revents) for client c: writes, reads and
// answers its requests. A client that fails is marked dead.
void serveEvents(Sim& sim, Client& c, short revents);

// Closes and forgets the dead clients.
void closeDead(Sim& sim);

// True while a client that still takes bytes lags more than kPauseInput
// behind: commands then wait, as they did behind a blocking write.
bool inputHeld(const Sim& sim);

}  // namespace ulxdsim

#endif
