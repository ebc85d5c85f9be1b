#include "tools/dorvanectl/lookup.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "src/access_trail.h"
#include "src/output_toggle.h"
#include "src/pAccess.h"
#include "tools/dorvanectl/site.h"
#include "ulxobj/cObjectClient.h"
#include "vdb/DatabaseHandler.h"

namespace ctl {
namespace {

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
// handler and record the service uses; empty, after saying why (and
// telling the trail), when the code toggles nothing.
std::string readerFor(const Settings& s, const char* code, cAccessTrail& trail) {
    DatabaseHandler db(SQLITE3, s.dblocal.c_str(), false, true);
    pAccess query;
    query.setScanCode(code);
    TableData* result = nullptr;
    std::string why;
    // A hot journal is said once, here; the handler is not asked (it would
    // say it again as a raw ERROR line).
    bool hot = DatabaseHandler::journalState(s.dblocal) == DatabaseHandler::JOURNAL_HOT;
    if (hot) {
        why = DatabaseHandler::hotJournalRemedy(s.dblocal);
    }
    int found = hot ? -1 : db.Find(&query, &result, &why);
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
// order and by its rule (toggle::decide), and adds it to the trail with the
// state the service would hold after it; returns how many toggle.
int showToggles(const Record& w, std::vector<Output> outputs, cAccessTrail& trail) {
    int toggles = 0;
    for (const std::string& label : {w.io, w.led}) {
        int before = toggles;
        for (Output& o : outputs) {
            cObject::eObjectIOState next;
            if (toggle::decide(label.c_str(), o.label.c_str(), o.state, &next)) {
                printf("  toggles device %u port %u (%s), now %s\n", o.serial, o.id,
                       shown(o.label).c_str(), cObject::stateName(o.state));
                ++toggles;
                o.state = next;  // held for a later toggle of the same output
                trail.output(o.label.c_str(), next == cObject::OBJ_IO_STATE_SET, false);
            }
        }
        if (toggles == before) {
            trail.noOutput(label.c_str());  // as the service's trail names it
        }
    }
    if (toggles == 0) {
        printf("  no discrete output carries these labels: nothing toggles\n");
    } else {
        printf(
            "  (output states as the site daemon gives them now; the service's own states may "
            "differ: it fetched them at start-up and changes them only by its toggles)\n");
    }
    return toggles;
}

}  // namespace

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
    if (!discoverOutputs(client, s.host, &outputs)) {
        printf("  site daemon %s does not answer: outputs unknown\n", shown(s.host).c_str());
        line.known = false;
        return 1;
    }
    return showToggles(*w, outputs, line.trail) > 0 ? 0 : 1;
}

}  // namespace ctl
