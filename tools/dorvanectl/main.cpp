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
#include <optional>
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
#include "codes_check.h"
#include "pAccess.h"
#include "pairing_index.h"
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

// Values from files, the database and the network, as printed: control
// characters escaped, printable text unchanged.
std::string shown(const std::string& value) {
    return vtext::escape(value.data(), value.size());
}

// The pairing records as the service loads them, in file order, kept in the
// service's own list so that the record that counts for a reader is decided
// by the service's own rule (cSCLpairIndex).
class Pairs {
public:
    // *report (when not null) says what the loader left out and why.
    Pairs(const std::string& path, cSCLpairsReport* report) {
        cSCLpairs loader;
        mList = loader.getSCLpairsLst(path.c_str(), report);
        for (const VListNode* n = mList != nullptr ? mList->mStart : nullptr; n != nullptr;
             n = n->mNext) {
            const auto* r = static_cast<const cSCL*>(n->mData);
            mRecords.push_back({r->getReaderName(), r->getIOLabel(), r->getLEDLabel()});
        }
        mIndex = cSCLpairIndex(mList);
    }
    ~Pairs() {
        mIndex = cSCLpairIndex();  // never left pointing into a deleted list
        deletePairs(mList);
    }
    Pairs(const Pairs&) = delete;
    Pairs& operator=(const Pairs&) = delete;

    const std::vector<Record>& records() const { return mRecords; }

    // The record that counts for reader, or nothing when none names it.
    std::optional<Record> winner(const std::string& reader) const {
        const cSCL* r = mIndex.find(reader.c_str());
        if (r == nullptr) {
            return std::nullopt;
        }
        return Record{r->getReaderName(), r->getIOLabel(), r->getLEDLabel()};
    }

private:
    VList* mList;
    cSCLpairIndex mIndex;  // over mList
    std::vector<Record> mRecords;
};

// A row of table "codes" as stored, and why the service can never take it
// ("" when it can).
struct Code {
    std::string code, reader, refused;
    std::vector<DatabaseHandler::StoredValue> stored;  // the row as listed
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
            row.stored = values;
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

int countCarrying(const std::vector<Output>& outputs, const std::string& label) {
    int n = 0;
    for (const Output& o : outputs) {
        n += o.label == label ? 1 : 0;
    }
    return n;
}

// What --check has found so far; each problem is printed as it is found.
struct Findings {
    int problems = 0;
    void problem(const std::string& text) {
        printf("  PROBLEM: %s\n", text.c_str());
        ++problems;
    }
};

// The configuration as read, and what is wrong with it.
Settings checkSettings(const char* configPath, Findings& f) {
    Settings s = readSettings(configPath);
    printf("Configuration %s\n", shown(configPath).c_str());
    printf("  host       %s (port %u)\n  ioPairFile %s\n  dblocal    %s\n", shown(s.host).c_str(),
           static_cast<unsigned>(kPort), shown(s.ioPairFile).c_str(), shown(s.dblocal).c_str());
    for (const std::string& p : s.problems) {
        f.problem(shown(p));
    }
    return s;
}

// The pairing file: its records, what the loader left out, and the readers
// that have more than one record. Returns each reader with its number of
// records.
std::map<std::string, int> checkPairs(const std::string& path, const Pairs& pairs,
                                      const cSCLpairsReport& report, Findings& f) {
    printf("Pairing file %s: %zu records\n", shown(path).c_str(), pairs.records().size());
    if (report.refusedWhole) {
        f.problem("pairing file " + shown(path) + " is refused whole: " + shown(report.whyWhole));
    }
    if (pairs.records().empty()) {
        f.problem("no usable pairing record: no scan can toggle anything");
    }
    for (const cSCLpairsReport::Refused& r : report.refused) {
        f.problem("Reader #" + std::to_string(r.index) + " (\"" + shown(r.name) +
                  "\") is left out: " + r.reason);
    }
    std::map<std::string, int> readers;
    for (const Record& r : pairs.records()) {
        ++readers[r.reader];
        if (r.reader.size() >= pAccess::FIELD_SIZE) {
            f.problem("reader name \"" + shown(r.reader.substr(0, 40)) + "...\" is " +
                      std::to_string(r.reader.size()) +
                      " characters long: no database row can name it (127 at most)");
        }
    }
    for (const auto& e : readers) {
        if (e.second > 1) {
            std::optional<Record> w = pairs.winner(e.first);
            printf("  NOTE: reader %s has %d records; the last one wins (IO %s, LED %s)\n",
                   shown(e.first).c_str(), e.second, shown(w->io).c_str(), shown(w->led).c_str());
        }
    }
    return readers;
}

// The site's discrete outputs against the labels of the records that count;
// false when the site daemon does not answer.
bool checkSite(const std::string& host, const Pairs& pairs,
               const std::map<std::string, int>& readers, std::vector<Output>* outputs,
               Findings& f) {
    cObjectClient client;
    if (!readOutputs(client, host, outputs)) {
        printf("Site daemon %s port %u does not answer: outputs not checked\n", shown(host).c_str(),
               static_cast<unsigned>(kPort));
        return false;
    }
    printf("Site daemon %s: %zu discrete outputs\n", shown(host).c_str(), outputs->size());
    std::set<std::string> labels;
    for (const auto& e : readers) {
        std::optional<Record> w = pairs.winner(e.first);
        labels.insert(w->io);
        labels.insert(w->led);
    }
    for (const std::string& l : labels) {
        if (countCarrying(*outputs, l) == 0) {
            f.problem("pairing label " + shown(l) +
                      " is carried by no discrete output of the site");
        }
    }
    return true;
}

// Why a scan of the code of row toggles nothing, or "" when it toggles
// something (or may: the outputs are unknown when the site did not answer).
std::string whyDead(const Code& row, const Pairs& pairs, bool siteOk,
                    const std::vector<Output>& outputs) {
    if (!row.refused.empty()) {
        return row.refused;  // the service never takes this row
    }
    if (row.reader.empty()) {
        return "its reader name is empty";
    }
    std::optional<Record> w = pairs.winner(row.reader);
    if (!w) {
        return "reader " + shown(row.reader) + " has no pairing record";
    }
    if (siteOk && countCarrying(outputs, w->io) + countCarrying(outputs, w->led) == 0) {
        return "no discrete output carries " + shown(w->io) + " or " + shown(w->led);
    }
    return "";
}

int check(const char* configPath) {
    Findings f;
    Settings s = checkSettings(configPath, f);
    cSCLpairsReport report;
    Pairs pairs(s.ioPairFile, &report);
    std::map<std::string, int> readers = checkPairs(s.ioPairFile, pairs, report, f);

    std::vector<Code> codes;
    std::string why;
    bool dbOk = readCodes(s.dblocal, &codes, &why);
    if (dbOk) {
        printf("Database %s: %zu codes\n", shown(s.dblocal).c_str(), codes.size());
    } else {
        f.problem("database " + shown(s.dblocal) + " cannot be read: " + shown(why));
    }
    std::vector<std::vector<DatabaseHandler::StoredValue>> stored;
    stored.reserve(codes.size());
    for (const Code& c : codes) {
        stored.push_back(c.stored);
    }
    std::set<std::string> ambiguous =
        checkCodeRows(s.dblocal, stored, [&f](const std::string& p) { f.problem(p); });
    std::vector<Output> outputs;
    bool siteOk = checkSite(s.host, pairs, readers, &outputs, f);

    std::set<std::string> namedReaders;
    int dead = 0;
    for (const Code& row : codes) {
        namedReaders.insert(row.reader);
        if (ambiguous.count(shown(row.code)) > 0) {
            ++dead;  // said above, once for the code
            continue;
        }
        std::string why = whyDead(row, pairs, siteOk, outputs);
        if (!why.empty()) {
            f.problem("code " + shown(row.code) + " toggles nothing: " + why);
            ++dead;
        }
    }
    for (const auto& e : readers) {
        if (dbOk && namedReaders.count(e.first) == 0) {
            printf("  NOTE: pairing record %s is named by no code\n", shown(e.first).c_str());
        }
    }
    printf("%s: %d problem%s, %d of %zu codes toggle nothing\n", f.problems ? "FAILED" : "OK",
           f.problems, f.problems == 1 ? "" : "s", dead, codes.size());
    return (f.problems == 0 && dbOk && !pairs.records().empty()) ? 0 : 1;
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

// The reader that the database names for the code, found through the
// handler and record the service uses; empty, after saying why, when the
// code toggles nothing.
std::string readerFor(const Settings& s, const char* code, cAccessTrail& trail) {
    DatabaseHandler db(SQLITE3, s.dblocal.c_str(), false, true);
    pAccess query;
    query.setScanCode(code);
    TableData* result = nullptr;
    std::string why;
    int found = db.Find(&query, &result, &why);
    const std::string shownCode = shown(code);
    if (found < 0) {
        printf("Code %s: the database %s cannot be searched (%s): nothing toggles\n",
               shownCode.c_str(), shown(s.dblocal).c_str(), shown(why).c_str());
        trail.lookupFailed();
        return "";
    }
    if (found > 1) {
        printf("Code %s: stored for more than one reader (\"%s\", \"%s\"): nothing toggles\n",
               shownCode.c_str(), shown(pAccess(result, 0).getReaderLabel()).c_str(),
               shown(pAccess(result, 1).getReaderLabel()).c_str());
        result->free();
        trail.ambiguousCode();
        return "";
    }
    if (result == nullptr) {
        printf("Code %s: not in the database %s: nothing toggles\n", shownCode.c_str(),
               shown(s.dblocal).c_str());
        return "";
    }
    pAccess row(result, 0);
    result->free();
    std::string reader = row.getReaderLabel();
    if (reader.empty()) {
        printf("Code %s: its row names no usable reader: nothing toggles\n", shownCode.c_str());
    }
    return reader;
}

// Prints each output that the record's labels toggle, in the service's
// order, and adds it to the trail with the state the service would hold
// after it; returns how many toggle.
int showToggles(const Record& w, const std::vector<Output>& outputs, cAccessTrail& trail) {
    int toggles = 0;
    std::vector<int> held;  // the states the service would hold, toggle by toggle
    held.reserve(outputs.size());
    for (const Output& o : outputs) {
        held.push_back(o.state);
    }
    for (const std::string& label : {w.io, w.led}) {
        int before = toggles;
        for (const Output& o : outputs) {
            if (o.label == label) {
                printf("  toggles device %u port %u (%s), now %s\n", o.serial, o.id,
                       shown(o.label).c_str(), cObject::stateName(o.state));
                ++toggles;
                int& state = held[static_cast<size_t>(&o - outputs.data())];
                state = state == cObject::OBJ_IO_STATE_SET ? cObject::OBJ_IO_STATE_CLEAR
                                                           : cObject::OBJ_IO_STATE_SET;
                trail.output(o.label.c_str(), state == cObject::OBJ_IO_STATE_SET, false);
            }
        }
        if (toggles == before) {
            trail.noOutput(label.c_str());  // as the service's trail names it
        }
    }
    if (toggles == 0) {
        printf("  no discrete output carries these labels: nothing toggles\n");
    }
    return toggles;
}

int lookup(const char* configPath, const char* code) {
    WouldBeTrail line;
    line.trail.beginLookup(code);
    Settings s = readSettings(configPath);
    for (const std::string& p : s.problems) {
        printf("PROBLEM: %s\n", shown(p).c_str());
    }
    std::string reader = readerFor(s, code, line.trail);
    if (reader.empty()) {
        return 1;
    }
    line.trail.reader(reader.c_str());
    Pairs pairs(s.ioPairFile, nullptr);
    std::optional<Record> w = pairs.winner(reader);
    printf("Code %s: reader %s\n", shown(code).c_str(), shown(reader).c_str());
    if (!w) {
        printf("  no pairing record for reader %s: nothing toggles\n", shown(reader).c_str());
        return 1;
    }
    line.trail.pairingFound();
    printf("  IO label  %s\n  LED label %s\n", shown(w->io).c_str(), shown(w->led).c_str());
    cObjectClient client;
    std::vector<Output> outputs;
    if (!readOutputs(client, s.host, &outputs)) {
        printf("  site daemon %s does not answer: outputs unknown\n", shown(s.host).c_str());
        line.known = false;
        return 1;
    }
    return showToggles(*w, outputs, line.trail) > 0 ? 0 : 1;
}

int ports(const char* configPath) {
    Settings s = readSettings(configPath);
    cObjectClient client;
    cObjectList* rx = queryPorts(client, s.host);
    if (rx == nullptr) {
        fprintf(stderr, "site daemon %s port %u does not answer\n", shown(s.host).c_str(),
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
        fprintf(stderr, "site daemon %s port %u does not answer yet; waiting\n",
                shown(s.host).c_str(), static_cast<unsigned>(kPort));
    }
    signal(SIGINT, [](int) { gInterrupted = true; });
    signal(SIGTERM, [](int) { gInterrupted = true; });
    while (!gInterrupted) {
        usleep(100000);
    }
    client.stop();
    return 0;
}

// The command line as read: one mode and its files.
struct Command {
    int doCheck = 0, doLookup = 0, doPorts = 0, doWatch = 0;
    // A code that does not fit a database field could never be found.
    char code[pAccess::FIELD_SIZE] = "";
    char config[4096] = DORVANE_CONFIG_FILE;

    int modes() const { return doCheck + doLookup + doPorts + doWatch; }
};

// What is wrong with the command line as read, or null; *word names the
// word at fault. Whatever is not understood stops the tool before it reads
// or connects to anything: a half-understood command line could act on the
// wrong file or site.
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
        *word = "'" + vtext::escape(argv[optind]) + "'";
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

int runMode(const Command& cmd) {
    // The components' own log lines: warnings and errors, on standard error.
    cVlog::init(nullptr);
    cVlog::setRootPriority(cVlog::WARN);
    if (cmd.doCheck) {
        return check(cmd.config);
    }
    if (cmd.doLookup) {
        return lookup(cmd.config, cmd.code);
    }
    if (cmd.doPorts) {
        return ports(cmd.config);
    }
    return watch(cmd.config);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
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
    return help ? 0 : runMode(cmd);
}
