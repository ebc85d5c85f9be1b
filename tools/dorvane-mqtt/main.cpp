// dorvane-mqtt: the fleet link. It publishes the service's outbox and the
// unit's state to an MQTT broker (see docs/fleet.md, "The link").
//
// Verbs: run (the link; also a command line without a verb), status and
// events (the center's view, center.h), help and version.
// dorvane-mqtt [run] [--config FILE]: exit status 2 for a command line or a
// configuration it refuses (one line on standard error), 1 when its state
// folder cannot be made, 0 after a stop by SIGTERM or SIGINT.
#include <malloc.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "dorvane_version.h"
#include "src/supervisor.h"
#include "src/verb_table.h"
#include "tools/dorvane-mqtt/center.h"
#include "tools/dorvane-mqtt/center_client.h"
#include "tools/dorvane-mqtt/link.h"
#include "tools/dorvane-mqtt/link_config.h"
#include "vlog/cVlog.h"

namespace {

constexpr int kRefused = 2;

void onStop(int) {
    mqttlink::cLink::stop();
}

void runUsage() {
    printf("FILE: the link's configuration (default %s).\n", mqttlink::kDefaultConfigFile);
}

// Makes path (one level) when missing; false with *why otherwise.
bool makeFolder(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0750) == 0 || errno == EEXIST) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return true;
        }
        *why = path + " is not a folder";
        return false;
    }
    *why = "cannot make " + path + ": " + strerror(errno);
    return false;
}

// The link: argv[0] is the verb, then the options.
int runLink(int argc, char** argv) {
    // Large one-off buffers (the key reader reads a file into 4 MiB) are
    // mapped and given back at once, not kept in the heap for good: the link
    // runs for months in a small memory budget.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::string configFile = mqttlink::kDefaultConfigFile;
    for (int i = 1; i < argc; ++i) {
        std::string why;
        if (mqttlink::readOption(argc, argv, &i, "--config", &configFile, &why)) {
            continue;
        }
        if (!why.empty()) {
            fprintf(stderr, "dorvane-mqtt: %s\n", why.c_str());
        } else {
            fprintf(stderr, "dorvane-mqtt: unknown argument %s (see dorvane-mqtt help run)\n",
                    verbs::shownWord(argv[i]).c_str());
        }
        return kRefused;
    }
    mqttlink::LinkConfig config;
    std::string why;
    if (!mqttlink::loadLinkConfig(configFile.c_str(), &config, &why)) {
        fprintf(stderr, "dorvane-mqtt: %s\n", why.c_str());
        return kRefused;
    }
    if (!makeFolder(config.stateDir, &why) || !makeFolder(config.stateDir + "/spool", &why)) {
        fprintf(stderr, "dorvane-mqtt: state folder: %s\n", why.c_str());
        return 1;
    }
    cVlog::initStandardError();  // lines to standard error (the journal under systemd)

    mqttlink::catchStop(onStop);
    signal(SIGHUP, SIG_IGN);

    mosquitto_lib_init();
    int status = 0;
    {
        cSupervisor supervisor;
        mqttlink::cLink link(config, supervisor);
        status = link.run();
    }
    mosquitto_lib_cleanup();
    return status;
}

const verbs::Verb kVerbs[] = {
    {"run", "[--config FILE]", "the link: the outbox and the unit's state to the broker",
     "Exit status: 0 after SIGTERM or SIGINT, 1 the state folder cannot be made, 2 a command\n"
     "line or configuration refused.\n",
     runLink, runUsage},
    {"status", "[--config FILE] [--site S] [--wait SECONDS]",
     "each unit of the site as the broker holds it: online, codes, outbox",
     "Exit status: 0 printed, 1 the broker cannot be reached, 2 command line refused.\n",
     centerStatus, nullptr},
    {"events", "[--config FILE] [--json] [--session ID]",
     "the units' access events as they come, until SIGTERM or SIGINT",
     "--json: each event as UNIT PAYLOAD, as received. --session ID: a lasting session of\n"
     "that client id, so that a restart gets what it missed.\n",
     centerEvents, nullptr},
};

const char* const kGlobalOptions[] = {"--config", nullptr};

const verbs::Tool kTool = {
    "dorvane-mqtt", DORVANE_VERSION, kVerbs, sizeof(kVerbs) / sizeof(kVerbs[0]), kGlobalOptions, "",
    "run",          nullptr,         nullptr};

}  // namespace

int main(int argc, char** argv) {
    return verbs::dispatch(kTool, argc, argv);
}
