// dorvanectl: commissioning and diagnosis of a dorvane site. It reads the
// configuration, the pairing file and the access database as the service
// does, asks the site daemon for its ports, says in plain words what a scan
// would do and what does not fit together, and provisions the codes.
//
// Verbs in the manner of systemctl and git (check, lookup CODE, ports, watch,
// codes VERB ...; the table in verbs.cpp), and the options of old as their
// aliases (--check, --lookup CODE, --ports, --watch). Whatever is not
// understood stops the tool with status 2 before it reads, writes or
// connects to anything: a half-understood command line could act on the
// wrong file.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "src/arg_parser.h"
#include "src/pAccess.h"
#include "src/settings.h"
#include "src/verb_table.h"
#include "tools/dorvane-mqtt/link_config.h"
#include "tools/dorvanectl/apply_signed.h"
#include "tools/dorvanectl/check.h"
#include "tools/dorvanectl/codes.h"
#include "tools/dorvanectl/command_line.h"
#include "tools/dorvanectl/daemon.h"
#include "tools/dorvanectl/lookup.h"
#include "tools/dorvanectl/pack.h"
#include "vlog/cVlog.h"
#include "vutil/VText.h"

namespace {

// The command line as read: one mode and its files.
struct Command {
    int doCheck = 0, doLookup = 0, doPorts = 0, doWatch = 0;
    // A code that does not fit a database field could never be found.
    char code[pAccess::FIELD_SIZE] = "";
    char config[4096] = DORVANE_CONFIG_FILE;

    int modes() const { return doCheck + doLookup + doPorts + doWatch; }
};

// What is wrong with the command line of options as read, or null; *word
// names the word at fault.
const char* commandError(int argc, char** argv, const Command& cmd, int refused, bool help,
                         std::string* word) {
    if (refused > 0) {
        return "command line refused";  // the parser has said what
    }
    if (help) {
        // Alone it is answered before these options are read (help, --help).
        return "--help takes no other option or argument";
    }
    if (optind < argc) {
        *word = "'" + vutil::escape(argv[optind]) + "'";
        return "unexpected argument ";
    }
    if (cmd.modes() != 1) {
        return "give exactly one of --check, --lookup, --ports, --watch, --help";
    }
    if (cmd.doLookup && cmd.code[0] == '\0') {
        return "--lookup needs a CODE";
    }
    if (cmd.config[0] == '\0') {
        return "--config needs a FILE";
    }
    return nullptr;
}

void quietComponents() {
    // The components' own log lines: warnings and errors, on standard error.
    cVlog::initStandardError();
    cVlog::setRootPriority(cVlog::WARN);
}

int runMode(const Command& cmd) {
    quietComponents();
    if (cmd.doCheck) {
        return ctl::check(cmd.config);
    }
    if (cmd.doLookup) {
        return ctl::lookup(cmd.config, cmd.code);
    }
    if (cmd.doPorts) {
        return ctl::ports(cmd.config);
    }
    return ctl::watch(cmd.config);
}

int runOptions(int argc, char** argv) {
    static Command cmd;
    argParser::argument_option options[] = {
        {'c', "check", "check configuration, pairing file, database and site", 0, &cmd.doCheck, 1,
         nullptr, 0},
        {'l', "lookup", "CODE: what a scan of CODE would do", 1, &cmd.doLookup, 1, cmd.code,
         sizeof(cmd.code)},
        {'p', "ports", "print the site daemon's ports", 0, &cmd.doPorts, 1, nullptr, 0},
        {'w', "watch", "print every message of the site daemon until interrupted", 0, &cmd.doWatch,
         1, nullptr, 0},
        {'C', "config", "FILE: configuration file (default " DORVANE_CONFIG_FILE ")", 1, nullptr, 0,
         cmd.config, sizeof(cmd.config)},
        {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
    int refused = 0;
    bool help = !argParser::getArguments(argc, argv, options, &refused);
    std::string word;
    const char* error = commandError(argc, argv, cmd, refused, help, &word);
    if (error != nullptr) {
        fprintf(stderr, "dorvanectl: %s%s (see dorvanectl --help)\n", error, word.c_str());
        return 2;
    }
    return runMode(cmd);
}

// A verb's command line: the words after the verb, and the options that may
// stand anywhere.
struct Verbs {
    std::vector<std::string> words;
    std::string config = DORVANE_CONFIG_FILE;
    bool force = false;
    // codes pack's options, by name (one value each)
    std::vector<std::pair<std::string, std::string>> packOptions;
    // codes apply-signed's options
    bool watch = false;
    std::string linkConfig;
};

const char* const kPackOptions[] = {"--site", "--unit", "--version", "--output", "-o"};

// Reads a verb's words and options (argv[1] on; argv[0] is the verb); null,
// or what is wrong.
const char* readVerbs(int argc, char** argv, Verbs* v, std::string* word) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {  // the rest are words: a code or reader may begin with a dash
            v->words.insert(v->words.end(), argv + i + 1, argv + argc);
            break;
        }
        if (a == "--config" || a == "-C") {
            if (i + 1 == argc || argv[i + 1][0] == '\0') {
                return "--config needs a FILE";
            }
            v->config = argv[++i];
        } else if (a.compare(0, 9, "--config=") == 0) {
            v->config = a.substr(9);
            if (v->config.empty()) {
                return "--config needs a FILE";
            }
        } else if (a == "--force") {
            v->force = true;
        } else if (a == "--watch") {
            v->watch = true;
        } else if (a == "--link-config") {
            if (i + 1 == argc || argv[i + 1][0] == '\0') {
                return "--link-config needs a FILE";
            }
            v->linkConfig = argv[++i];
        } else if (std::find(std::begin(kPackOptions), std::end(kPackOptions), a) !=
                   std::end(kPackOptions)) {
            if (i + 1 == argc) {
                *word = " " + a;
                return "a value is missing after";
            }
            v->packOptions.emplace_back(a == "-o" ? "--output" : a, argv[++i]);
        } else if (a.size() > 1 && a[0] == '-') {
            *word = " '" + vutil::escape(a.c_str()) + "'";
            return "unknown option";
        } else {
            v->words.push_back(a);
        }
    }
    return nullptr;
}

// True when v fits the shape of verb; else false with what does not fit.
bool fits(const std::string& verb, const ctl::Shape& s, const Verbs& v, std::string* error) {
    size_t args = v.words.size();
    if (args < s.least || args > s.most) {
        *error = verb + " takes " + std::to_string(s.least) +
                 (s.most > s.least ? " or " + std::to_string(s.most) : "") + " argument" +
                 (s.most == 1 ? "" : "s");
    } else if (v.force && (s.options & ctl::kForce) == 0) {
        *error = verb + " takes no --force";
    } else if (!v.packOptions.empty() && (s.options & ctl::kPack) == 0) {
        *error = verb + " takes no " + v.packOptions[0].first;
    } else if ((v.watch || !v.linkConfig.empty()) && (s.options & ctl::kLink) == 0) {
        *error = verb + " takes no " + (v.watch ? "--watch" : "--link-config");
    } else if (verb == "lookup" && v.words[0].size() >= pAccess::FIELD_SIZE) {
        *error = "a CODE of 128 bytes or more never matches";
    } else {
        return true;
    }
    return false;
}

// codes pack: its options read and judged; 2 after saying what does not fit.
int runPack(const Verbs& v) {
    std::string site, unit, version;
    std::map<std::string, std::string*> fields = {
        {"--site", &site}, {"--unit", &unit}, {"--version", &version}};
    ctl::PackCommand c;
    fields["--output"] = &c.output;
    std::string error;
    for (const auto& o : v.packOptions) {
        if (!fields[o.first]->empty()) {
            error = o.first + " is given twice";
        }
        *fields[o.first] = o.second;
    }
    if (error.empty()) {
        error = ctl::packRefusal(site, unit, version, &c.version);
    }
    if (!error.empty()) {
        fprintf(stderr, "dorvanectl: %s (see dorvanectl help)\n", error.c_str());
        return 2;
    }
    c.site = site;
    c.unit = unit;
    c.file = v.words[0];
    c.force = v.force;
    return ctl::pack(c);
}

int runVerbs(const std::string& verb, const Verbs& v) {
    quietComponents();
    const std::vector<std::string>& w = v.words;
    if (verb == "check") {
        return ctl::check(v.config.c_str());
    }
    if (verb == "lookup") {
        return ctl::lookup(v.config.c_str(), w[0].c_str());
    }
    if (verb == "ports" || verb == "watch") {
        return verb == "ports" ? ctl::ports(v.config.c_str()) : ctl::watch(v.config.c_str());
    }
    if (verb == "codes pack") {
        return runPack(v);
    }
    if (verb == "codes apply-signed") {
        ctl::ApplyCommand a;
        a.watch = v.watch;
        a.config = v.config;
        a.linkConfig = v.linkConfig.empty() ? mqttlink::kDefaultConfigFile : v.linkConfig;
        return ctl::applySigned(a);
    }
    ctl::CodesCommand c;
    c.verb = verb.substr(6);  // after "codes "
    c.config = v.config;
    c.force = v.force;
    if (c.verb == "add" || c.verb == "remove") {
        c.code = w[0];
        c.reader = c.verb == "add" ? w[1] : "";
    } else if (c.verb == "list") {
        c.reader = w.empty() ? "" : w[0];
    } else {
        c.file = w.empty() ? "" : w[0];
    }
    return ctl::codes(c);
}

}  // namespace

namespace ctl {

int verbCommand(const Shape& shape, int argc, char** argv) {
    Verbs v;
    std::string word, error;
    const char* bad = readVerbs(argc, argv, &v, &word);
    if (bad != nullptr) {
        error = std::string(bad) + word;
    }
    if (bad != nullptr || !fits(argv[0], shape, v, &error)) {
        fprintf(stderr, "dorvanectl: %s (see dorvanectl help)\n", error.c_str());
        return 2;
    }
    return runVerbs(argv[0], v);
}

int optionCommand(int argc, char** argv) {
    return runOptions(argc, argv);
}

}  // namespace ctl

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    return verbs::dispatch(ctl::kTool, argc, argv);
}
