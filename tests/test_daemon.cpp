#include "tests/test_daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include "tests/support/argv.h"
#include "vmsg/VWire.h"
#include "vnet/VSocket.h"

namespace testutil {

// The emulator's words are joined by "|" (empty natively); made before
// fork, since the child may only exec.
std::vector<std::string> withEmulator(const std::vector<std::string>& argv) {
    std::vector<std::string> words;
    std::istringstream emulator(DORVANE_TEST_EMULATOR);
    for (std::string w; std::getline(emulator, w, '|');) {
        if (!w.empty()) {
            words.push_back(w);
        }
    }
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}

FakeDaemon::FakeDaemon(const std::string& address, unsigned short port) : mListen(-1), mClient(-1) {
    std::string why;
    mListen = vnet::listenOn(address.c_str(), port, 4, &why);
    if (mListen < 0) {
        ADD_FAILURE() << "cannot listen on " << address << ":" << port << ": " << why;
    }
}

FakeDaemon::~FakeDaemon() {
    closeClient();
    if (mListen >= 0) {
        close(mListen);
    }
}

void FakeDaemon::setReceiveBuffer(int bytes) {
    ASSERT_EQ(0, setsockopt(mListen, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)));
}

bool FakeDaemon::accept(int timeoutMs) {
    closeClient();
    pollfd p{mListen, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    mClient = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
    mIn.clear();
    mOut.clear();
    return mClient >= 0;
}

std::unique_ptr<VMsg> FakeDaemon::read(int timeoutMs) {
    return mIn.read(mClient, timeoutMs);
}

void FakeDaemon::send(const VMsg& msg) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(vmsg::encode(msg, bytes));
    sendRaw(bytes);
}

void FakeDaemon::sendRaw(const std::vector<uint8_t>& bytes) {
    if (mClient >= 0) {
        mOut.addBytes(bytes);
        ASSERT_TRUE(mOut.flushAll(mClient, -1));
    }
}

bool FakeDaemon::offer(const std::vector<uint8_t>& bytes, int timeoutMs) {
    if (mClient < 0) {
        return false;
    }
    mOut.addBytes(bytes);
    bool sent = mOut.flushAll(mClient, timeoutMs);
    mOut.clear();  // what a peer that dropped out did not take is gone
    return sent;
}

size_t FakeDaemon::drainSlowly(size_t bytes, size_t chunk, int pauseMs) {
    std::vector<char> buf(chunk);
    size_t got = 0;
    while (mClient >= 0 && got < bytes) {
        struct pollfd p = {mClient, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            break;
        }
        ssize_t n = ::read(mClient, buf.data(), std::min(chunk, bytes - got));
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return got;
}

void FakeDaemon::closeClient() {
    if (mClient >= 0) {
        close(mClient);
        mClient = -1;
    }
}

Process::Process(const std::vector<std::string>& argv, const std::string& dir, bool closedOutput,
                 bool host)
    : mPid(-1), mStatus(-1), mIn(-1), mOut(-1) {
    std::vector<std::string> words = host ? argv : withEmulator(argv);
    std::vector<char*> args = argvOf(words);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << strerror(errno);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        return;
    }
    if (pid == 0) {
        // Killed when the test dies, however it dies; the check closes the
        // window in which the parent died before the request was made.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
            _exit(125);
        }
        dup2(in[0], 0);
        if (closedOutput) {
            close(1);
            close(2);
        } else {
            dup2(out[1], 1);
            dup2(out[1], 2);
        }
        if (!dir.empty() && chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    mPid = pid;
    mIn = in[1];
    mOut = out[0];
    mReader = std::thread(&Process::readLoop, this);
}

Process::~Process() {
    stop();
}

void Process::readLoop() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(mOut, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mMutex);
        mPartial.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = mPartial.find('\n')) != std::string::npos) {
            mLines.push_back(mPartial.substr(0, nl));
            mPartial.erase(0, nl + 1);
        }
        mCond.notify_all();
    }
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mPartial.empty()) {
        mLines.push_back(mPartial);
        mPartial.clear();
    }
    mCond.notify_all();
}

void Process::write(const std::string& text) {
    if (mIn >= 0) {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(mIn, text.data(), text.size()));
    }
}

int Process::waitFor(const std::string& text, int timeoutMs, size_t from) {
    std::unique_lock<std::mutex> lock(mMutex);
    int found = -1;
    mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (size_t i = from; i < mLines.size(); ++i) {
            if (mLines[i].find(text) != std::string::npos) {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return found;
}

size_t Process::lineCount() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines.size();
}

std::vector<std::string> Process::lines() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
}

std::string Process::text() {
    std::string all;
    for (const std::string& l : lines()) {
        all += l + "\n";
    }
    return all;
}

int Process::wait(int timeoutMs) {
    for (int waited = 0; mPid > 0; waited += 10) {
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            mStatus = status;
            break;
        }
        if (waited >= timeoutMs) {
            return -1;
        }
        usleep(10000);
    }
    if (mReader.joinable()) {
        mReader.join();  // all output read once the process has ended
    }
    return mStatus;
}

int Process::stop() {
    int status = mStatus;
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                break;
            }
            usleep(20000);
        }
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            mPid = -1;
        }
    }
    if (mIn >= 0) {
        close(mIn);
        mIn = -1;
    }
    if (mReader.joinable()) {
        mReader.join();
    }
    if (mOut >= 0) {
        close(mOut);
        mOut = -1;
    }
    return status;
}

ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs, bool host) {
    ToolRun run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        run.err = "runTool: pipe failed";
        return run;
    }
    std::vector<std::string> words = host ? argv : withEmulator(argv);
    std::vector<char*> args = argvOf(words);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    bool killed = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                texts[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace testutil
