// The access-control service: configures logging, builds the manager, and
// sleeps; all further work happens on the object client's event thread.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cVlog.h"
#include "manager.h"

int main(int /*argc*/, char** /*argv*/) {
    // One malloc arena for all threads: each further arena keeps free memory
    // of its own, and the threads here allocate little and rarely at once.
    mallopt(M_ARENA_MAX, 1);
    // Under a service manager standard output is a pipe. The manager flushes
    // it after each start-up step and each handled message, so every line
    // reaches the journal as it happens, in one write per message.
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    // A daemon that drops the connection must not kill the service.
    signal(SIGPIPE, SIG_IGN);

    char configFile[64];
    snprintf(configFile, sizeof(configFile), "%s", DORVANE_CONFIG_FILE);
    cVlog::init(configFile);
    manager::start();
    // Start-up's buffers (the parsed pairing file above all) are freed by
    // now, below memory that stays: give their pages back.
    malloc_trim(0);
    for (;;) {
        sleep(1);
    }
}
