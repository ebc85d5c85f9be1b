#include "tools/dorvanectl/check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "src/pAccess.h"
#include "src/settings.h"
#include "tools/dorvanectl/codes_check.h"
#include "tools/dorvanectl/dbfile.h"
#include "tools/dorvanectl/leftovers.h"
#include "tools/dorvanectl/set_record.h"
#include "tools/dorvanectl/site.h"
#include "ulxobj/cObjectClient.h"

namespace ctl {
namespace {

// What check has found so far; each problem is printed as it is found.
struct Findings {
    int problems = 0;
    void problem(const std::string& text) {
        printf("  PROBLEM: %s\n", text.c_str());
        ++problems;
    }
};

int countCarrying(const std::vector<Output>& outputs, const std::string& label) {
    int n = 0;
    for (const Output& o : outputs) {
        n += o.label == label ? 1 : 0;
    }
    return n;
}

// The configuration as read, and what is wrong with it.
Settings checkSettings(const char* configPath, Findings& f) {
    Settings s = readSettings(configPath);
    printf("Configuration %s\n", shown(configPath).c_str());
    printf("  host       %s (port %u)\n  ioPairFile %s\n  dblocal    %s\n", shown(s.host).c_str(),
           static_cast<unsigned>(settings::kDaemonPort), shown(s.ioPairFile).c_str(),
           shown(s.dblocal).c_str());
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
    if (!discoverOutputs(client, host, outputs)) {
        printf("Site daemon %s port %u does not answer: outputs not checked\n", shown(host).c_str(),
               static_cast<unsigned>(settings::kDaemonPort));
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

// The database file as the service meets it: who may read it, and its
// schema. Problems for what fails every scan; notes for the rest.
void checkDatabaseFile(const std::string& path, Findings& f) {
    std::string unchecked;
    for (const std::string& p : serviceUserProblems(path, &unchecked)) {
        f.problem(p);
    }
    if (!unchecked.empty()) {
        printf("  NOTE: %s\n", unchecked.c_str());
    }
    std::string note = schemaNote(path);
    if (!note.empty()) {
        printf("  NOTE: %s\n", note.c_str());
    }
}

// The database as the service meets it: its journal (a hot one, said once,
// keeps it from being read at all), its rows, the files an import left
// beside it, who may read it and its schema. False when its rows cannot
// be read.
bool checkDatabase(const std::string& path, std::vector<Code>* codes, Findings& f) {
    bool hot = false;
    // WAL mode too: the packaged service (user dorvane, /var/ulx root's)
    // cannot create the -shm file, so its every lookup fails.
    std::string advice = journalAdvice(path, &hot);
    std::string why;
    bool read = !hot && readCodes(path, codes, &why);
    if (read) {
        printf("Database %s: %zu codes\n", shown(path).c_str(), codes->size());
        SetRecord record;
        if (readSetRecord(path, &record, &why)) {
            printf("  code set in force: %s\n", describeRecord(record).c_str());
        } else {
            f.problem("database " + shown(path) +
                      ": which code set is in force cannot be read: " + shown(why));
        }
    } else if (!hot) {
        f.problem("database " + shown(path) + " cannot be read: " + shown(why));
    }
    if (!advice.empty()) {
        f.problem(advice);
    }
    // Beside the file itself, as the import makes them; by the name given
    // when it is no link, as the rest of check shows it.
    struct stat st;
    bool link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    char* real = link ? realpath(path.c_str(), nullptr) : nullptr;
    for (const ImportFile& left : importFiles(real != nullptr ? real : path)) {
        printf(left.atWork ? "  NOTE: %s (%lld bytes): an import is at work on it\n"
                           : "  NOTE: %s (%lld bytes) was left by an import that no longer runs: "
                             "the next codes import removes it\n",
               shown(left.path).c_str(), static_cast<long long>(left.bytes));
    }
    free(real);
    checkDatabaseFile(path, f);
    return read;
}

// The rows (as listed, in row order) of the codes stored more than once:
// the only ones that can be ambiguous. Found by sorting, so that a million
// codes are not copied; their stored values are moved out of codes.
std::vector<std::vector<DatabaseHandler::StoredValue>> repeatedRows(std::vector<Code>& codes) {
    std::vector<uint32_t> order(codes.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return codes[a].code < codes[b].code; });
    std::vector<bool> repeated(codes.size());
    for (size_t k = 1; k < order.size(); ++k) {
        if (codes[order[k]].code == codes[order[k - 1]].code) {
            repeated[order[k]] = repeated[order[k - 1]] = true;
        }
    }
    std::vector<std::vector<DatabaseHandler::StoredValue>> rows;
    for (size_t i = 0; i < codes.size(); ++i) {
        if (repeated[i]) {
            rows.push_back(std::move(codes[i].stored));
        }
    }
    return rows;
}

// Each code that toggles nothing; returns how many. An ambiguous code (as
// shown) has been said once for all its rows.
int checkCodes(const std::vector<Code>& codes, const std::set<std::string>& ambiguous,
               const Pairs& pairs, bool siteOk, const std::vector<Output>& outputs, Findings& f) {
    int dead = 0;
    for (const Code& row : codes) {
        if (ambiguous.count(shown(row.code)) > 0) {
            ++dead;
            continue;
        }
        std::string why = whyDead(row, pairs, siteOk, outputs);
        if (!why.empty()) {
            f.problem("code " + shown(row.code) + " toggles nothing: " + why);
            ++dead;
        }
    }
    return dead;
}

}  // namespace

int check(const char* configPath) {
    Findings f;
    Settings s = checkSettings(configPath, f);
    cSCLpairsReport report;
    Pairs pairs(s.ioPairFile, &report);
    std::map<std::string, int> readers = checkPairs(s.ioPairFile, pairs, report, f);

    std::vector<Code> codes;
    bool dbOk = checkDatabase(s.dblocal, &codes, f);
    std::set<std::string> ambiguous =
        checkCodeRows(repeatedRows(codes), [&f](const std::string& p) { f.problem(p); });
    std::vector<Output> outputs;
    bool siteOk = checkSite(s.host, pairs, readers, &outputs, f);
    int dead = checkCodes(codes, ambiguous, pairs, siteOk, outputs, f);

    std::set<std::string> namedReaders;
    for (const Code& row : codes) {
        namedReaders.insert(row.reader);
    }
    for (const auto& e : readers) {
        if (dbOk && namedReaders.count(e.first) == 0) {
            printf("  NOTE: pairing record %s is named by no code\n", shown(e.first).c_str());
        }
    }
    printf("%s: %d problem%s, ", f.problems ? "FAILED" : "OK", f.problems,
           f.problems == 1 ? "" : "s");
    if (dbOk) {
        printf("%d of %zu codes toggle nothing\n", dead, codes.size());
    } else {
        printf("the database could not be read\n");
    }
    return (f.problems == 0 && dbOk && !pairs.records().empty()) ? 0 : 1;
}

}  // namespace ctl
