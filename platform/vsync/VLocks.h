// Lock rules in a form that clang's thread-safety analysis checks
// (-Wthread-safety), for every component: a mutex and a scoped lock that
// carry the annotations libstdc++'s own types lack, a marker for a turn that
// is taken by a flag rather than a lock, and the attribute macros. Other
// compilers see plain types and no attributes.
//
// A member that two threads use is GUARDED_BY its mutex (or turn); a
// function that expects the lock held says REQUIRES, one that takes it
// itself EXCLUDES. The clang build treats a breach as an error.
//
// Threads: as std::mutex. Nothing here throws but what std::mutex throws.
#ifndef DORVANE_PLATFORM_VSYNC_VLOCKS_H
#define DORVANE_PLATFORM_VSYNC_VLOCKS_H

#include <mutex>

#if defined(__clang__)
#define VSYNC_TSA(x) __attribute__((x))
#else
#define VSYNC_TSA(x)
#endif

#define CAPABILITY(x) VSYNC_TSA(capability(x))
#define SCOPED_CAPABILITY VSYNC_TSA(scoped_lockable)
#define GUARDED_BY(x) VSYNC_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) VSYNC_TSA(pt_guarded_by(x))
#define REQUIRES(...) VSYNC_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VSYNC_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VSYNC_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VSYNC_TSA(locks_excluded(__VA_ARGS__))

namespace vsync {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") cMutex {
public:
    void lock() ACQUIRE() { mMutex.lock(); }
    void unlock() RELEASE() { mMutex.unlock(); }
    // For std::condition_variable, through cLock::native().
    std::mutex& native() { return mMutex; }

private:
    std::mutex mMutex;
};

// Holds a cMutex from construction to destruction, as std::unique_lock,
// and may let it go and take it again in between.
class SCOPED_CAPABILITY cLock {
public:
    explicit cLock(cMutex& mutex) ACQUIRE(mutex) : mLock(mutex.native()) {}
    ~cLock() RELEASE() {}
    cLock(const cLock&) = delete;
    cLock& operator=(const cLock&) = delete;

    void unlock() RELEASE() { mLock.unlock(); }
    void lock() ACQUIRE() { mLock.lock(); }
    // For a condition variable's wait, which gives the mutex back and takes
    // it again before it returns.
    std::unique_lock<std::mutex>& native() { return mLock; }

private:
    std::unique_lock<std::mutex> mLock;
};

// A turn that one thread at a time holds, granted by a flag under a mutex
// (so that the thread need not hold the mutex meanwhile): take() once the
// flag is won, give() before it is given back. It costs nothing; it lets
// the analysis check that what belongs to the holder is used by it alone.
class CAPABILITY("turn") cTurn {
public:
    void take() ACQUIRE() {}
    void give() RELEASE() {}
};

}  // namespace vsync

#endif
