// dorvanectl: commissioning and diagnosis of a dorvane site. It reads the
// configuration, the pairing file and the access database as the service
// does, asks the site daemon for its ports, says in plain words what a scan
// would do and what does not fit together, and provisions the codes.
//
// Two forms of command line: the options of old (--check, --lookup CODE,
// --ports, --watch) and verbs in the manner of systemctl and git (check,
// lookup CODE, ports, watch, codes VERB ...). Whatever is not understood
// stops the tool with status 2 before it reads, writes or connects to
// anything: a half-understood command line could act on the wrong file.
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
#include "tools/dorvane-mqtt/link_config.h"
#include "tools/dorvanectl/apply_signed.h"
#include "tools/dorvanectl/check.h"
#include "tools/dorvanectl/codes.h"
#include "tools/dorvanectl/daemon.h"
#include "tools/dorvanectl/lookup.h"
#include "tools/dorvanectl/pack.h"
#include "vlog/cVlog.h"
#include "vutil/VText.h"

namespace {

const char kVerbsHelp[] =
    "Verbs (the same, and provisioning; --config FILE may stand anywhere):\n"
    "  dorvanectl check                      what does not fit: settings, pairing file, "
    "database, site\n"
    "  dorvanectl lookup CODE                what a scan of CODE would do, and its trail line\n"
    "  dorvanectl ports | watch              the site daemon's ports | every message it sends\n"
    "  dorvanectl codes add CODE READER [--force]   give CODE to READER (a new database is\n"
    "                                        made from codes.sql when there is none)\n"
    "  dorvanectl codes remove CODE          take CODE away\n"
    "  dorvanectl codes list [READER]        the codes, all or one reader's\n"
    "  dorvanectl codes import FILE [--force]  make FILE's codes the whole set (- reads "
    "standard input)\n"
    "  dorvanectl codes export [FILE]        the set as CSV, to FILE or standard output\n"
    "  dorvanectl codes pack --site S --unit U|'*' --version N FILE [-o OUT] [--force]\n"
    "                                        the message of a signed code set, for\n"
    "                                        signify-openbsd -S -e (no pairing file read)\n"
    "  dorvanectl codes apply-signed [--watch] [--link-config LINKCONF]\n"
    "                                        apply the signed sets the fleet link spooled\n"
    "                                        (--watch: as they come, until SIGTERM)\n"
    "CSV: UTF-8, one code,reader a line (LF or CRLF), an optional first line code,reader,\n"
    "no quoting. A code or reader is text of 1 to 127 bytes without control characters;\n"
    "READER needs a record in the pairing file (--force: store it anyway). Exit status:\n"
    "0 done, 1 refused or failed (nothing written), 2 command line not understood.\n";

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
        // Options after --help are not looked at: it must stand alone.
        return argc == 2 && optind == 2 && cmd.modes() == 0
                   ? nullptr
                   : "--help takes no other option or argument";
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
    if (help) {
        printf("%s", kVerbsHelp);
        return 0;
    }
    return runMode(cmd);
}

// A verb command line: its words, and the options that may stand anywhere.
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

// Reads argv as verbs; null, or what is wrong.
const char* readVerbs(int argc, char** argv, Verbs* v, std::string* word) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
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

// The number of words each verb takes after itself: at least, at most.
struct Shape {
    const char* verb;
    size_t least, most;
    bool force;  // takes --force
    bool pack;   // takes codes pack's options
};
const Shape kShapes[] = {{"check", 0, 0, false, false},
                         {"lookup", 1, 1, false, false},
                         {"ports", 0, 0, false, false},
                         {"watch", 0, 0, false, false},
                         {"codes add", 2, 2, true, false},
                         {"codes remove", 1, 1, false, false},
                         {"codes list", 0, 1, false, false},
                         {"codes import", 1, 1, true, false},
                         {"codes export", 0, 1, false, false},
                         {"codes pack", 1, 1, true, true},
                         {"codes apply-signed", 0, 0, false, false}};

// The shape of the verb that v's words name, or null after saying why.
const Shape* shapeOf(const Verbs& v, std::string* error) {
    bool codes = v.words[0] == "codes";
    std::string verb = codes && v.words.size() > 1 ? "codes " + v.words[1] : v.words[0];
    size_t args = v.words.size() - (codes ? 2 : 1);
    for (const Shape& s : kShapes) {
        if (verb != s.verb) {
            continue;
        }
        if (args < s.least || args > s.most) {
            *error = verb + " takes " + std::to_string(s.least) +
                     (s.most > s.least ? " or " + std::to_string(s.most) : "") + " argument" +
                     (s.most == 1 ? "" : "s");
        } else if (v.force && !s.force) {
            *error = verb + " takes no --force";
        } else if (!v.packOptions.empty() && !s.pack) {
            *error = verb + " takes no " + v.packOptions[0].first;
        } else if ((v.watch || !v.linkConfig.empty()) && verb != "codes apply-signed") {
            *error = verb + " takes no " + (v.watch ? "--watch" : "--link-config");
        } else {
            return &s;
        }
        return nullptr;
    }
    *error = verb == "codes"
                 ? "codes needs one of add, remove, list, import, export, pack, apply-signed"
                 : "unknown verb '" + vutil::escape(verb.c_str()) + "'";
    return nullptr;
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
    c.file = v.words[2];
    c.force = v.force;
    return ctl::pack(c);
}

int runVerbs(const Verbs& v, const Shape& shape) {
    quietComponents();
    std::string verb = shape.verb;
    if (verb == "check") {
        return ctl::check(v.config.c_str());
    }
    if (verb == "lookup") {
        return ctl::lookup(v.config.c_str(), v.words[1].c_str());
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
    c.verb = v.words[1];
    c.config = v.config;
    c.force = v.force;
    const std::vector<std::string>& w = v.words;
    if (c.verb == "add" || c.verb == "remove") {
        c.code = w[2];
        c.reader = c.verb == "add" ? w[3] : "";
    } else if (c.verb == "list") {
        c.reader = w.size() > 2 ? w[2] : "";
    } else {
        c.file = w.size() > 2 ? w[2] : "";
    }
    return ctl::codes(c);
}

int verbMain(int argc, char** argv) {
    Verbs v;
    std::string word, error;
    const char* bad = readVerbs(argc, argv, &v, &word);
    const Shape* shape = nullptr;
    if (bad != nullptr) {
        error = std::string(bad) + word;
    } else if (v.words[0] == "help") {
        printf("%s", kVerbsHelp);
        return v.words.size() == 1 ? 0 : 2;
    } else if ((shape = shapeOf(v, &error)) != nullptr && std::string(shape->verb) == "lookup" &&
               v.words[1].size() >= pAccess::FIELD_SIZE) {
        error = "a CODE of 128 bytes or more never matches";
        shape = nullptr;
    }
    if (shape == nullptr) {
        fprintf(stderr, "dorvanectl: %s (see dorvanectl help)\n", error.c_str());
        return 2;
    }
    return runVerbs(v, *shape);
}

// True when the first word that is no --config names a verb.
bool isVerbCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--config") == 0 || strcmp(argv[i], "-C") == 0) {
            ++i;
        } else if (strncmp(argv[i], "--config=", 9) != 0) {
            return argv[i][0] != '-';
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    return isVerbCommand(argc, argv) ? verbMain(argc, argv) : runOptions(argc, argv);
}
