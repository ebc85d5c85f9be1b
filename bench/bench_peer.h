// The benchmark's side of the site object protocol: the daemon it plays
// for the service, and both ends of the floor's round trip.
#ifndef DORVANE_BENCH_BENCH_PEER_H
#define DORVANE_BENCH_BENCH_PEER_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vmsg/VFrameReader.h"
#include "vmsg/VFrameWriter.h"
#include "vmsg/VMsg.h"

namespace bench {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d);

// Says why on standard error and ends the benchmark (status 1), after
// cleanUp().
[[noreturn]] void die(const std::string& why);

// What a stopping benchmark undoes, however it stops (die, SIGINT, SIGTERM,
// SIGHUP, or the end of main): the service it started, killed by its pid
// and reaped, and the folder it made, removed. ownService(0) forgets the
// service (it was stopped). Any thread.
void ownService(pid_t pid);
void ownFolder(const std::string& dir);
void cleanUp();
// Blocks SIGINT, SIGTERM and SIGHUP and starts a thread that takes them:
// it runs cleanUp() and ends the benchmark (status 1). Call it in main
// before any other thread starts.
void cleanUpOnSignals();

// One peer connection (TCP_NODELAY), closed with the object. One thread
// reads; any thread sends, whole messages at a time.
class Conn {
public:
    explicit Conn(int fd);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    int fd() const { return mFd; }
    // Sends whole messages, and returns once every byte queued (also by
    // other threads) is written, waiting as long as the peer takes; a
    // failure ends the benchmark.
    void sendBytes(const std::vector<uint8_t>& bytes);
    void send(const VMsg& msg);
    // The next message, or null after timeoutMs (< 0: no limit). With
    // spinMicros > 0 it polls the socket without sleeping for that long
    // first. *firstByte, when given, is when its first byte was received.
    std::unique_ptr<VMsg> read(int timeoutMs = 10000, Clock::time_point* firstByte = nullptr,
                               int spinMicros = 0);

private:
    int mFd;
    vmsg::cFrameReader mIn;
    std::mutex mSendLock;  // guards mOut: a reply never lands inside another message
    vmsg::cFrameWriter mOut;
};

// A listener on address:port; a failure ends the benchmark.
int listenOn(const char* address, unsigned short port);
// The next connection on listener, within timeoutMs; else the benchmark ends.
int acceptOne(int listener, int timeoutMs);
// A connection to address:port; a failure ends the benchmark.
int connectTo(const std::string& address, unsigned short port);

// The wire form of an access event of scanCode, sequence number seq.
std::vector<uint8_t> eventBytes(uint8_t seq, const std::string& scanCode);
// Answers request with its own objects (a SET applied as asked).
void replyTo(Conn& c, const VMsg& request);

}  // namespace bench

#endif
