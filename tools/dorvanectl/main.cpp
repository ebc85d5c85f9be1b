// dorvanectl: commissioning and diagnosis of a dorvane site. It reads the
// configuration, the pairing file and the access database as the service
// does, asks the site daemon for its ports, and says in plain words what a
// scan would do and what does not fit together.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DatabaseHandler.h"
#include "ObjectCodec.h"
#include "SCLpairs.h"
#include "VText.h"
#include "VWire.h"
#include "access_trail.h"
#include "arg_parser.h"
#include "cObjectClient.h"
#include "cSCL.h"
#include "pAccess.h"
#include "properties.h"
#include "settings.h"
#include "vmsg_printer.h"

namespace {

const unsigned short kPort = settings::kDaemonPort;

struct Settings {
    std::string host, ioPairFile, dblocal;
    std::vector<std::string> problems;
};

struct Record {
    std::string reader, io, led;
};

struct Output {
    uint32_t serial, id;
    std::string label;
    int state;
};

// Reads the settings as the service does: a value longer than its field is
// refused and the default used.
Settings readSettings(const char* path) {
    Settings s;
    cProperties props;
    if (!props.load(path)) {
        s.problems.push_back(std::string("configuration file ") + path +
                             " cannot be read: every setting takes its default");
    }
    struct Field {
        const settings::Key& key;
        std::string* value;
    } fields[] = {{settings::kHost, &s.host},
                  {settings::kIoPairFile, &s.ioPairFile},
                  {settings::kDblocal, &s.dblocal}};
    for (const Field& f : fields) {
        char buffer[settings::kDblocalSize];
        static_assert(
            settings::kHostSize <= sizeof(buffer) && settings::kIoPairFileSize <= sizeof(buffer),
            "every setting fits the buffer");
        std::string refusal;
        if (!settings::copy(props, f.key, buffer, &refusal)) {
            s.problems.push_back("setting " + refusal);
        }
        *f.value = buffer;
    }
    return s;
}

// The records as the service loads them, in file order; *report says what
// the loader left out and why.
std::vector<Record> loadPairs(const std::string& path, cSCLpairsReport* report) {
    std::vector<Record> out;
    cSCLpairs loader;
    VList* list = loader.getSCLpairsLst(path.c_str(), report);
    if (list == nullptr) {
        return out;
    }
    list->reset();
    for (int i = 0; i < list->mNodeCount; ++i) {
        auto* r = static_cast<cSCL*>(list->get());
        out.push_back({r->getReaderName(), r->getIOLabel(), r->getLEDLabel()});
        delete r;
        list->step();
    }
    delete list;
    return out;
}

// A row of table "codes" as stored, and why the service can never take it
// ("" when it can).
struct Code {
    std::string code, reader, refused;
};

// Every row of table "codes", listed by the service's own handler and judged
// by the service's own rules (pAccess::refusal), or false with *why when the
// table cannot be read (a missing column included).
bool readCodes(const std::string& path, std::vector<Code>* rows, std::string* why) {
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    pAccess record;
    TableData* schema = record.toSchemaCheck();
    int n = db.List(
        &record,
        [&](const std::vector<DatabaseHandler::StoredValue>& values) {
            Code row;
            size_t i = 0;
            for (const ColumnNameList* c = schema->headColNames; c != nullptr && i < values.size();
                 c = c->next, ++i) {
                const DatabaseHandler::StoredValue& v = values[i];
                (c->isPrimaryKey ? row.code : row.reader) = v.bytes;
                const char* refused = pAccess::refusal(c->name, v.type, v.bytes);
                if (refused != nullptr && row.refused.empty()) {
                    row.refused =
                        (c->isPrimaryKey ? "the code " : "the reader name ") + std::string(refused);
                }
            }
            rows->push_back(row);
        },
        why);
    TableData::freeObj(schema);
    return n >= 0;
}

// Connects and asks for the port list as the service does: the reply, or
// null when the daemon does not answer.
cObjectList* queryPorts(cObjectClient& client, const std::string& host) {
    if (!client.start(host.c_str(), kPort)) {
        return nullptr;
    }
    cObjectPort query;
    query.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectList tx;
    tx.add(&query);
    return client.get(&tx);
}

// The site's discrete outputs, or false when the daemon does not answer.
bool readOutputs(cObjectClient& client, const std::string& host, std::vector<Output>* outputs) {
    cObjectList* rx = queryPorts(client, host);
    if (rx == nullptr) {
        return false;
    }
    for (cObject* o = rx->first(); o != nullptr; o = rx->next()) {
        auto* out = dynamic_cast<cObjectDOutput*>(o);
        if (out != nullptr && out->getPortType() == cObjectPort::PORT_TYPE_DISCRETE_OUT) {
            outputs->push_back({out->getDeviceSerial(), out->getPortId(), out->getPortLabel(),
                                out->getOutputState()});
        }
    }
    rx->deleteObjects();
    delete rx;
    return true;
}

const Record* winner(const std::vector<Record>& records, const std::string& reader) {
    const Record* found = nullptr;
    for (const Record& r : records) {
        if (r.reader == reader) {
            found = &r;  // the last one wins, as in the service
        }
    }
    return found;
}

int countCarrying(const std::vector<Output>& outputs, const std::string& label) {
    int n = 0;
    for (const Output& o : outputs) {
        n += o.label == label ? 1 : 0;
    }
    return n;
}

const char* stateName(int s) {
    return s == cObject::OBJ_IO_STATE_SET     ? "set"
           : s == cObject::OBJ_IO_STATE_CLEAR ? "clear"
                                              : "unknown";
}

int check(const char* configPath) {
    Settings s = readSettings(configPath);
    int problems = 0;
    auto problem = [&](const std::string& text) {
        printf("  PROBLEM: %s\n", text.c_str());
        ++problems;
    };
    printf("Configuration %s\n", configPath);
    printf("  host       %s (port %u)\n  ioPairFile %s\n  dblocal    %s\n", s.host.c_str(),
           static_cast<unsigned>(kPort), s.ioPairFile.c_str(), s.dblocal.c_str());
    for (const std::string& p : s.problems) {
        problem(p);
    }

    cSCLpairsReport report;
    std::vector<Record> records = loadPairs(s.ioPairFile, &report);
    const bool pairsLoaded = !records.empty();
    printf("Pairing file %s: %zu records\n", s.ioPairFile.c_str(), records.size());
    if (report.refusedWhole) {
        problem("pairing file " + s.ioPairFile + " is refused whole: " + report.whyWhole);
    }
    if (!pairsLoaded) {
        problem("no usable pairing record: no scan can toggle anything");
    }
    for (const cSCLpairsReport::Refused& r : report.refused) {
        problem("Reader #" + std::to_string(r.index) + " (\"" + r.name +
                "\") is left out: " + r.reason);
    }
    std::map<std::string, int> seen;
    for (const Record& r : records) {
        ++seen[r.reader];
        if (r.reader.size() >= pAccess::FIELD_SIZE) {
            problem("reader name \"" + r.reader.substr(0, 40) + "...\" is " +
                    std::to_string(r.reader.size()) +
                    " characters long: no database row can name it (127 at most)");
        }
    }
    for (const auto& e : seen) {
        if (e.second > 1) {
            const Record* w = winner(records, e.first);
            printf("  NOTE: reader %s has %d records; the last one wins (IO %s, LED %s)\n",
                   e.first.c_str(), e.second, w->io.c_str(), w->led.c_str());
        }
    }

    std::vector<Code> codes;
    std::string why;
    bool dbOk = readCodes(s.dblocal, &codes, &why);
    if (dbOk) {
        printf("Database %s: %zu codes\n", s.dblocal.c_str(), codes.size());
    } else {
        problem("database " + s.dblocal + " cannot be read: " + why);
    }

    cObjectClient client;
    std::vector<Output> outputs;
    bool siteOk = readOutputs(client, s.host, &outputs);
    if (siteOk) {
        printf("Site daemon %s: %zu discrete outputs\n", s.host.c_str(), outputs.size());
        std::set<std::string> labels;
        for (const std::string& reader : [&] {
                 std::set<std::string> names;
                 for (const Record& r : records)
                     names.insert(r.reader);
                 return names;
             }()) {
            const Record* w = winner(records, reader);
            labels.insert(w->io);
            labels.insert(w->led);
        }
        for (const std::string& l : labels) {
            if (countCarrying(outputs, l) == 0) {
                problem("pairing label " + l + " is carried by no discrete output of the site");
            }
        }
    } else {
        printf("Site daemon %s port %u does not answer: outputs not checked\n", s.host.c_str(),
               static_cast<unsigned>(kPort));
    }

    std::set<std::string> namedReaders;
    int dead = 0;
    for (const Code& row : codes) {
        const std::string& code = row.code;
        const std::string& reader = row.reader;
        namedReaders.insert(reader);
        std::string why;
        if (!row.refused.empty()) {
            why = row.refused;  // the service never takes this row
        } else if (reader.empty()) {
            why = "its reader name is empty";
        } else if (winner(records, reader) == nullptr) {
            why = "reader " + reader + " has no pairing record";
        } else if (siteOk) {
            const Record* w = winner(records, reader);
            if (countCarrying(outputs, w->io) + countCarrying(outputs, w->led) == 0) {
                why = "no discrete output carries " + w->io + " or " + w->led;
            }
        }
        if (!why.empty()) {
            problem("code " + code + " toggles nothing: " + why);
            ++dead;
        }
    }
    for (const auto& e : seen) {
        if (dbOk && namedReaders.count(e.first) == 0) {
            printf("  NOTE: pairing record %s is named by no code\n", e.first.c_str());
        }
    }
    printf("%s: %d problem%s, %d of %zu codes toggle nothing\n", problems ? "FAILED" : "OK",
           problems, problems == 1 ? "" : "s", dead, codes.size());
    return (problems == 0 && dbOk && pairsLoaded) ? 0 : 1;
}

// The trail line that a scan of the code would write, formatted by the
// service's own class and printed last, whatever lookup decides on the way.
struct WouldBeTrail {
    cAccessTrail trail;
    bool known = true;  // false when the site's outputs are unknown
    ~WouldBeTrail() {
        if (known) {
            printf("%s\n", trail.line().c_str());
        }
    }
};

int lookup(const char* configPath, const char* code) {
    WouldBeTrail line;
    line.trail.beginLookup(code);
    Settings s = readSettings(configPath);
    for (const std::string& p : s.problems) {
        printf("PROBLEM: %s\n", p.c_str());
    }
    // The lookup the service makes, through the same handler and record.
    DatabaseHandler db(SQLITE3, s.dblocal.c_str(), false, true);
    pAccess query;
    query.setScanCode(code);
    TableData* result = nullptr;
    int found = db.Find(&query, &result);
    if (found < 0) {
        printf("Code %s: the database %s cannot be searched: nothing toggles\n", code,
               s.dblocal.c_str());
        return 1;
    }
    if (result == nullptr) {
        printf("Code %s: not in the database %s: nothing toggles\n", code, s.dblocal.c_str());
        return 1;
    }
    pAccess row(result, 0);
    result->free();
    std::string reader = row.getReaderLabel();
    if (reader.empty()) {
        printf("Code %s: its row names no usable reader: nothing toggles\n", code);
        return 1;
    }
    line.trail.reader(reader.c_str());
    std::vector<Record> records = loadPairs(s.ioPairFile, nullptr);
    const Record* w = winner(records, reader);
    printf("Code %s: reader %s\n", code, reader.c_str());
    if (w == nullptr) {
        printf("  no pairing record for reader %s: nothing toggles\n", reader.c_str());
        return 1;
    }
    line.trail.pairingFound();
    printf("  IO label  %s\n  LED label %s\n", w->io.c_str(), w->led.c_str());
    cObjectClient client;
    std::vector<Output> outputs;
    if (!readOutputs(client, s.host, &outputs)) {
        printf("  site daemon %s does not answer: outputs unknown\n", s.host.c_str());
        line.known = false;
        return 1;
    }
    int toggles = 0;
    std::vector<int> held;  // the states the service would hold, toggle by toggle
    for (const Output& o : outputs) {
        held.push_back(o.state);
    }
    for (const std::string& label : {w->io, w->led}) {
        for (const Output& o : outputs) {
            if (o.label == label) {
                printf("  toggles device %u port %u (%s), now %s\n", o.serial, o.id,
                       o.label.c_str(), stateName(o.state));
                ++toggles;
                int& state = held[static_cast<size_t>(&o - outputs.data())];
                state = state == cObject::OBJ_IO_STATE_SET ? cObject::OBJ_IO_STATE_CLEAR
                                                           : cObject::OBJ_IO_STATE_SET;
                line.trail.output(o.label.c_str(), state == cObject::OBJ_IO_STATE_SET, false);
            }
        }
    }
    if (toggles == 0) {
        printf("  no discrete output carries these labels: nothing toggles\n");
    }
    return toggles > 0 ? 0 : 1;
}

int ports(const char* configPath) {
    Settings s = readSettings(configPath);
    cObjectClient client;
    cObjectList* rx = queryPorts(client, s.host);
    if (rx == nullptr) {
        fprintf(stderr, "site daemon %s port %u does not answer\n", s.host.c_str(),
                static_cast<unsigned>(kPort));
        return 1;
    }
    VMsg* msg = objcodec::toMessage(*rx, vwire::MSG_GET, rx->getMsgSeq());
    showMessage(msg);
    delete msg;
    rx->deleteObjects();
    delete rx;
    fflush(stdout);
    return 0;
}

std::atomic<bool> gInterrupted{false};

class Watcher : public cObjectListener {
public:
    void handleObjectAction(cObjectList* rx) override {
        // Printed as the tags of its objects (tags before the first object,
        // such as an error's, are not kept by the client).
        VMsg* msg = objcodec::toMessage(*rx, rx->getMsgType(), rx->getMsgSeq());
        bool known = msg->mMsgID <= 4;
        showMessage(msg);  // deletes a message of an unknown id itself
        if (known) {
            delete msg;
        }
        fflush(stdout);
    }
};

int watch(const char* configPath) {
    Settings s = readSettings(configPath);
    Watcher watcher;
    cObjectClient client;
    client.addListener(&watcher);
    if (!client.start(s.host.c_str(), kPort)) {
        fprintf(stderr, "site daemon %s port %u does not answer yet; waiting\n", s.host.c_str(),
                static_cast<unsigned>(kPort));
    }
    signal(SIGINT, [](int) { gInterrupted = true; });
    signal(SIGTERM, [](int) { gInterrupted = true; });
    while (!gInterrupted) {
        usleep(100000);
    }
    client.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    int doCheck = 0, doLookup = 0, doPorts = 0, doWatch = 0;
    // A code that does not fit a database field could never be found.
    static char code[pAccess::FIELD_SIZE] = "";
    static char config[4096] = DORVANE_CONFIG_FILE;
    argParser::argument_option options[] = {
        {'c', "check", "check configuration, pairing file, database and site", 0, &doCheck, 1,
         nullptr, 0},
        {'l', "lookup", "CODE: what a scan of CODE would do", 1, &doLookup, 1, code, sizeof(code)},
        {'p', "ports", "print the site daemon's ports", 0, &doPorts, 1, nullptr, 0},
        {'w', "watch", "print every message of the site daemon until interrupted", 0, &doWatch, 1,
         nullptr, 0},
        {'C', "config", "FILE: configuration file (default " DORVANE_CONFIG_FILE ")", 1, nullptr, 0,
         config, sizeof(config)},
        {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
    // Whatever is not understood stops the tool before it reads or connects
    // to anything: a half-understood command line could act on the wrong
    // file or site.
    int refused = 0;
    bool help = !argParser::getArguments(argc, argv, options, &refused);
    int modes = doCheck + doLookup + doPorts + doWatch;
    const char* error = nullptr;
    std::string word;
    if (refused > 0) {
        error = "command line refused";  // the parser has said what
    } else if (help) {
        // Options after --help are not looked at: it must stand alone.
        if (argc == 2 && optind == 2 && modes == 0) {
            return 0;
        }
        error = "--help takes no other option or argument";
    } else if (optind < argc) {
        error = "unexpected argument ";
        word = "'" + vtext::escape(argv[optind]) + "'";
    } else if (modes != 1) {
        error = "give exactly one of --check, --lookup, --ports, --watch, --help";
    } else if (doLookup && code[0] == '\0') {
        error = "--lookup needs a CODE";
    } else if (config[0] == '\0') {
        error = "--config needs a FILE";
    }
    if (error != nullptr) {
        fprintf(stderr, "dorvanectl: %s%s (see dorvanectl --help)\n", error, word.c_str());
        return 2;
    }
    // The components' own log lines: warnings and errors, on standard error.
    cVlog::init(nullptr);
    cVlog::setRootPriority(cVlog::WARN);
    if (doCheck) {
        return check(config);
    }
    if (doLookup) {
        return lookup(config, code);
    }
    if (doPorts) {
        return ports(config);
    }
    return watch(config);
}
