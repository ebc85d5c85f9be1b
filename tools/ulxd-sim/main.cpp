// ulxd-sim: a site daemon for the demo, the tests, the benchmark and a
// person. It serves the ports of a small site file (site.h) over the site
// object protocol (server.h), prints every SET it applies, and takes
// commands on standard input (script.h; type "help"). Its one verb, run, is
// also the command line without a verb; help and version as every tool.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "dorvane_version.h"
#include "src/arg_parser.h"
#include "src/settings.h"
#include "src/verb_table.h"
#include "tools/ulxd-sim/script.h"
#include "tools/ulxd-sim/server.h"
#include "tools/ulxd-sim/site.h"
#include "vnet/VSocket.h"

namespace ulxdsim {
namespace {

// Refuses the command line: what is wrong, then the usage text.
int refuse(argParser::argument_option* options, const char* what, const char* word) {
    if (what != nullptr) {
        fprintf(stderr, "ulxd-sim: %s%s%s\n", what, word != nullptr ? ": " : "",
                word != nullptr ? word : "");
    }
    fprintf(stderr, "ulxd-sim: command line refused (see --help)\n");
    argParser::showHelp(options);
    return 2;
}

// The command line, as understood.
struct Options {
    char host[64] = "127.0.0.1";
    char portText[16] = "";
    char sitePath[4096] = "";
    int noSetReply = 0;
    unsigned short port = 0;
};

// Checks the values of the options: -1 when they are good, else 2.
int checkOptions(Options& opts) {
    unsigned long long port = 0;
    if (!wholeNumber(opts.portText, 65535, &port) || port == 0) {
        fprintf(stderr, "ulxd-sim: --port must be a whole number from 1 to 65535, not '%s'\n",
                opts.portText);
        return 2;
    }
    opts.port = static_cast<unsigned short>(port);
    in_addr address{};
    if (inet_pton(AF_INET, opts.host, &address) != 1) {
        fprintf(stderr, "ulxd-sim: --host must be an IPv4 address such as 127.0.0.1, not '%s'\n",
                opts.host);
        return 2;
    }
    if (opts.sitePath[0] == '\0') {
        fprintf(stderr, "ulxd-sim: --site FILE is required (see --help)\n");
        return 2;
    }
    return -1;
}

// The options of run, into opts, as argParser reads and shows them.
std::array<argParser::argument_option, 5> optionTable(Options& opts) {
    snprintf(opts.portText, sizeof(opts.portText), "%u",
             static_cast<unsigned>(settings::kDaemonPort));
    return {
        {{'a', "host", "address to listen on (default 127.0.0.1)", 1, nullptr, 0, opts.host,
          sizeof(opts.host)},
         {'p', "port", "port to listen on (default 60000)", 1, nullptr, 0, opts.portText,
          sizeof(opts.portText)},
         {'s', "site", "site file (required)", 1, nullptr, 0, opts.sitePath, sizeof(opts.sitePath)},
         {0, "no-set-reply", "apply SET requests but never answer them", 0, &opts.noSetReply, 1,
          nullptr, 0},
         {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}}};
}

// Prints run's options, the site file's form and the commands.
void runUsage() {
    Options opts;
    argParser::showHelp(optionTable(opts).data());
    printf("%s", kUsageExtra);
}

// Reads the command line into opts: -1 to go on, else the exit status.
int readOptions(int argc, char** argv, Options& opts) {
    auto options = optionTable(opts);
    int refused = 0;
    bool run = argParser::getArguments(argc, argv, options.data(), &refused);
    if (refused > 0) {
        return refuse(options.data(), nullptr, nullptr);  // the parser has said what
    }
    if (!run) {
        printf("%s", kUsageExtra);
        return 0;
    }
    if (optind < argc) {
        return refuse(options.data(), "unexpected argument", argv[optind]);
    }
    return checkOptions(opts);
}

// Reads what standard input brought and runs its command lines; false when
// one says quit. At the end of input the simulator keeps serving (stop it
// with a signal).
bool readInput(Sim& sim, Input& input, bool& stdinOpen) {
    char buf[4096];
    ssize_t n = read(0, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n <= 0) {
        stdinOpen = false;
        return true;
    }
    return takeInput(sim, input, buf, static_cast<size_t>(n));
}

// Serves the clients and standard input until a command says quit or poll
// fails; the exit status (0 either way).
int serve(Sim& sim, int listener) {
    bool stdinOpen = true;
    Input input;
    for (;;) {
        bool held = inputHeld(sim);
        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        fds.push_back({stdinOpen && !held ? 0 : -1, POLLIN, 0});
        for (const Client& c : sim.clients) {
            short events = POLLIN | (c.out.unsent() > 0 ? POLLOUT : 0);
            fds.push_back({c.fd, events, 0});
        }
        // While commands wait, look again now and then: the lagging client
        // may stall.
        if (poll(fds.data(), fds.size(), held ? 100 : -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            acceptClient(sim, listener);
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) && !readInput(sim, input, stdinOpen)) {
            return 0;
        }
        // Clients: indexes 2.. match sim.clients as they were before accept;
        // a command may have dropped them all since.
        for (size_t i = 2; i < fds.size(); ++i) {
            for (Client& c : sim.clients) {
                if (c.fd == fds[i].fd && fds[i].revents != 0) {
                    serveEvents(sim, c, fds[i].revents);
                    break;
                }
            }
        }
        closeDead(sim);
    }
}

// The simulator: argv[0] is the verb, then the options.
int runSim(int argc, char** argv) {
    // getopt_long names the program by argv[0] in its messages.
    static char name[] = "ulxd-sim";
    argv[0] = name;
    static Options opts;
    int status = readOptions(argc, argv, opts);
    if (status >= 0) {
        return status;
    }
    Sim sim;
    sim.noSetReply = opts.noSetReply != 0;
    if (!loadSite(opts.sitePath, sim.ports)) {
        return 2;
    }
    std::string why;
    int listener = vnet::listenOn(opts.host, opts.port, 16, &why);
    if (listener < 0) {
        fprintf(stderr, "ulxd-sim: cannot listen on %s port %s: %s\n", opts.host, opts.portText,
                why.c_str());
        return 1;
    }
    printf("LISTENING %s %s ports=%zu\n", opts.host, opts.portText, sim.ports.size());
    return serve(sim, listener);
}

const verbs::Verb kVerbs[] = {
    {"run", "--site FILE [--host ADDRESS] [--port PORT] [--no-set-reply]",
     "serve the site file's ports as a site daemon, with commands on standard input",
     "Exit status: 0 after the command quit, 1 it cannot listen, 2 command line or site file\n"
     "refused.\n",
     runSim, runUsage},
};

const verbs::Tool kTool = {"ulxd-sim", DORVANE_VERSION, kVerbs,  1,      nullptr,
                           "",         "run",           nullptr, nullptr};

}  // namespace
}  // namespace ulxdsim

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return verbs::dispatch(ulxdsim::kTool, argc, argv);
}
