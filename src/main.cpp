// The access-control service: configures logging, builds the manager, and
// sleeps; all further work happens on the object client's event thread.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cVlog.h"
#include "manager.h"

int main(int /*argc*/, char** /*argv*/) {
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
    for (;;) {
        sleep(1);
    }
}
