#include "bench/bench_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"
#include "vnet/VSocket.h"

namespace bench {

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

namespace {

std::atomic<bool> gStopping(false);  // a signal stops the benchmark
std::mutex gOwnedMutex;
pid_t gService = 0;   // guarded by gOwnedMutex
std::string gFolder;  // guarded by gOwnedMutex

}  // namespace

void ownService(pid_t pid) {
    std::lock_guard<std::mutex> lock(gOwnedMutex);
    gService = pid;
}

void ownFolder(const std::string& dir) {
    std::lock_guard<std::mutex> lock(gOwnedMutex);
    gFolder = dir;
}

void cleanUp() {
    std::lock_guard<std::mutex> lock(gOwnedMutex);
    if (gService > 0) {
        kill(gService, SIGKILL);
        waitpid(gService, nullptr, 0);
        gService = 0;
    }
    if (!gFolder.empty()) {
        std::string cmd = "rm -rf '" + gFolder + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "dorvane_bench: could not remove %s\n", gFolder.c_str());
        }
        gFolder.clear();
    }
}

void cleanUpOnSignals() {
    static sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([] {
        int sig = 0;
        if (sigwait(&stops, &sig) == 0) {
            gStopping = true;
            fprintf(stderr, "dorvane_bench: stopped by signal %d\n", sig);
            cleanUp();
            _exit(1);
        }
    }).detach();
}

void die(const std::string& why) {
    while (gStopping) {
        pause();  // the service went because a signal stops everything: say nothing more
    }
    fprintf(stderr, "dorvane_bench: %s\n", why.c_str());
    cleanUp();
    exit(1);
}

Conn::Conn(int fd) : mFd(fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

Conn::~Conn() {
    close(mFd);
}

void Conn::sendBytes(const std::vector<uint8_t>& bytes) {
    std::unique_lock<std::mutex> lock(mSendLock);
    mOut.addBytes(bytes);
    for (;;) {
        if (!mOut.flush(mFd)) {
            die("send failed");
        }
        if (mOut.unsent() == 0) {
            return;
        }
        // Waits without the lock, so that another thread's messages queue
        // meanwhile, whole, behind these: a flood never holds up a reply.
        lock.unlock();
        pollfd p{mFd, POLLOUT, 0};
        poll(&p, 1, -1);
        lock.lock();
    }
}

void Conn::send(const VMsg& msg) {
    std::vector<uint8_t> bytes;
    vmsg::encode(msg, bytes);
    sendBytes(bytes);
}

std::unique_ptr<VMsg> Conn::read(int timeoutMs, Clock::time_point* firstByte, int spinMicros) {
    std::unique_ptr<VMsg> msg = mIn.next();
    Clock::time_point spinEnd = Clock::now() + std::chrono::microseconds(spinMicros);
    while (!msg && !mIn.malformed() && !mIn.closed() && spinMicros > 0 && Clock::now() < spinEnd) {
        mIn.receive(mFd, false);
        msg = mIn.next();
    }
    if (!msg && !mIn.malformed() && !mIn.closed()) {
        msg = mIn.read(mFd, timeoutMs);
    }
    if (mIn.malformed()) {
        die(std::string("malformed message: ") + mIn.error());
    }
    if (msg && firstByte != nullptr) {
        *firstByte = mIn.firstByteTime();
    }
    return msg;
}

int listenOn(const char* address, unsigned short port) {
    std::string why;
    int fd = vnet::listenOn(address, port, 4, &why);
    if (fd < 0) {
        die(std::string("cannot listen on ") + address + ": " + why);
    }
    return fd;
}

int acceptOne(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        die("the peer did not connect");
    }
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int connectTo(const std::string& address, unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        die("cannot connect to " + address);
    }
    return fd;
}

std::vector<uint8_t> eventBytes(uint8_t seq, const std::string& scanCode) {
    VMsg msg(vmsg::MSG_EVT, seq);
    cObjectAccess a;
    a.setDeviceSerial(12);
    a.setScanCode(scanCode.c_str());
    ulxobj::appendObject(msg, a);
    std::vector<uint8_t> b;
    vmsg::encode(msg, b);
    return b;
}

void replyTo(Conn& c, const VMsg& request) {
    VMsg reply(request.mMsgID, request.mMsgSeq);
    for (size_t i = 0; i < request.tagCount(); ++i) {
        reply.addTag(request.tagAt(i)->clone());
    }
    c.send(reply);
}

}  // namespace bench
