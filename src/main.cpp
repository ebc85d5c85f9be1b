// The access-control service: configures logging, builds the manager, and
// waits for reload requests (SIGHUP); all other work happens on the object
// client's event thread.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dorvane_version.h"
#include "src/instance_lock.h"
#include "src/manager.h"
#include "vlog/cVlog.h"

namespace {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, as some
// launchers leave them. Otherwise the first socket or file the service opens
// would become standard output, and log lines and "Getting Device" would be
// written into it.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

#ifdef DORVANE_USE_LOCAL_CONFIG
const char kProgram[] = "dorvane-local";
#else
const char kProgram[] = "dorvane";
#endif

}  // namespace

int main(int argc, char** argv) {
    // The command line is otherwise ignored, as a launcher may pass anything:
    // only "--version" alone is answered, before anything is locked or read.
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", kProgram, DORVANE_VERSION);
        return 0;
    }
    openStandardDescriptors();  // before anything else can open a descriptor
    // SIGHUP asks for a reload. It is blocked before any thread exists, so
    // every thread inherits the mask and only the wait below takes it: no
    // work ever runs in a signal handler. Blocked before the lock is taken:
    // the init script learns the pid from the lock and may send a reload at
    // once, which must wait here rather than end the service.
    sigset_t reloadSignal;
    sigemptyset(&reloadSignal);
    sigaddset(&reloadSignal, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &reloadSignal, nullptr);
    signal(SIGHUP, SIG_DFL);  // an inherited SIG_IGN would discard it

    // One service per configuration file, decided before anything is
    // connected, logged or written: a second one would toggle every output
    // twice. A lock that cannot be made or trusted does not keep doors shut.
    std::string lockLine;
    instance_lock::eOutcome locked =
        instance_lock::take(DORVANE_LOCK_FILE, DORVANE_CONFIG_FILE, &lockLine);
    if (locked != instance_lock::LOCK_TAKEN) {
        fprintf(stderr, "dorvane: %s\n", lockLine.c_str());
        if (locked == instance_lock::LOCK_HELD) {
            return 1;
        }
    }

    // One malloc arena for all threads: each further arena keeps free memory
    // of its own, and the threads here allocate little and rarely at once.
    mallopt(M_ARENA_MAX, 1);
    // Under a service manager standard output is a pipe. The manager flushes
    // it after each start-up step and each handled message, so every line
    // reaches the journal as it happens, in one write per message.
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    // A daemon that drops the connection must not kill the service, nor
    // must a log file at the file-size limit: its write fails, and the log
    // facility says so.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    char configFile[64];
    snprintf(configFile, sizeof(configFile), "%s", DORVANE_CONFIG_FILE);
    cVlog::init(configFile);
    manager::start();
    // Start-up's buffers (the parsed pairing file above all) are freed by
    // now, below memory that stays: give their pages back.
    malloc_trim(0);
    for (;;) {
        if (sigwaitinfo(&reloadSignal, nullptr) == SIGHUP) {
            manager::reload();
        }
    }
}
