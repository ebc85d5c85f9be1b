// The table of verbs that every tool's command line goes through: which
// handler runs with which words, what help and version answer, and the
// exit statuses, on two small tools of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/verb_table.h"
#include "tests/test_util.h"

namespace {

std::string gCalled;  // the handler's argv, joined by "|"

int record(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        gCalled += (i > 0 ? "|" : "") + std::string(argv[i]);
    }
    return argv[argc] == nullptr ? 7 : 99;
}

int recordOld(int argc, char** argv) {
    record(argc, argv);
    return 5;
}

const verbs::Verb kVerbs[] = {
    {"check", "", "check it all", nullptr, record, nullptr},
    {"lookup", "CODE", "look a code up", "More about lookup.\n", record, nullptr},
    {"codes add", "CODE READER", "give a code", nullptr, record, nullptr},
    {"codes list", "[READER]", "list the codes", nullptr, record, nullptr},
};
const char* const kGlobals[] = {"--config", "-C", nullptr};
// Verbs only, with options of old.
const verbs::Tool kCtl = {"ctl",   "9.8.7",   kVerbs,     4, kGlobals, "[--config FILE]",
                          nullptr, recordOld, "Footer.\n"};
// A verb run when none is named.
const verbs::Verb kRun[] = {{"run", "[--config FILE]", "do the work", nullptr, record, nullptr}};
const verbs::Tool kLink = {"link", "1.0", kRun, 1, kGlobals, "", "run", nullptr, nullptr};

const char* kCtlList =
    "Usage: ctl [--config FILE] VERB [ARGUMENTS]\n"
    "Verbs:\n"
    "  check       check it all\n"
    "  lookup      look a code up\n"
    "  codes add   give a code\n"
    "  codes list  list the codes\n"
    "  help        these verbs, or one verb's usage\n"
    "  version     print the version\n"
    "Footer.\n"
    "See 'ctl help VERB' for a verb's usage.\n";

struct Case {
    const verbs::Tool* tool;
    std::vector<std::string> words;
    int status;
    std::string called;  // the handler's argv; "" when none ran
    std::string out;     // standard output holds it ("" for empty)
    std::string err;     // standard error holds it ("" for empty)
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.tool->name;
    for (const std::string& w : c.words) {
        *os << " [" << w << "]";
    }
}

class Verbs : public testing::TestWithParam<Case> {};

TEST_P(Verbs, DecideTheCommandLine) {
    const Case& c = GetParam();
    std::vector<std::string> store = c.words;
    store.insert(store.begin(), c.tool->name);
    std::vector<char*> argv;
    argv.reserve(store.size() + 1);
    for (std::string& s : store) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    gCalled.clear();
    testing::internal::CaptureStderr();
    testutil::StdoutCapture capture;
    int status = verbs::dispatch(*c.tool, static_cast<int>(store.size()), argv.data());
    std::string out = capture.text();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.status, status) << err;
    EXPECT_EQ(c.called, gCalled);
    EXPECT_EQ(c.out.empty(), out.empty()) << out;
    EXPECT_NE(std::string::npos, out.find(c.out)) << out;
    EXPECT_EQ(c.err.empty(), err.empty()) << err;
    EXPECT_NE(std::string::npos, err.find(c.err)) << err;
}

const std::string kLookupUsage =
    "Usage: ctl [--config FILE] lookup CODE\nlook a code up\nMore about lookup.\n";
const std::string kCodesList =
    "Usage: ctl [--config FILE] codes VERB [ARGUMENTS]\nVerbs:\n"
    "  codes add   give a code\n  codes list  list the codes\n";

INSTANTIATE_TEST_SUITE_P(
    VerbTable, Verbs,
    testing::Values(
        // Verbs run with every other word, the global options where they stood.
        Case{&kCtl, {"check"}, 7, "check", "", ""},
        Case{&kCtl,
             {"--config", "f", "codes", "add", "A", "B"},
             7,
             "codes add|--config|f|A|B",
             "",
             ""},
        Case{&kCtl, {"codes", "-x", "add", "A"}, 7, "codes add|-x|A", "", ""},
        Case{&kCtl, {"codes", "--site", "hq", "add", "A"}, 7, "codes add|--site|hq|A", "", ""},
        Case{
            &kCtl, {"-C", "f", "lookup", "--config=g", "X"}, 7, "lookup|-C|f|--config=g|X", "", ""},
        Case{&kCtl, {"lookup", "check"}, 7, "lookup|check", "", ""},
        // After --, words are the verb's own: no help, no verb's name, no global option.
        Case{&kCtl, {"lookup", "--", "--help"}, 7, "lookup|--|--help", "", ""},
        Case{&kCtl, {"codes", "--", "add", "A"}, 2, "", "", "codes needs one of add, list"},
        // Options of old: the whole command line, as the process got it.
        Case{&kCtl, {"-C", "f", "--check"}, 5, "ctl|-C|f|--check", "", ""},
        Case{&kCtl, {"--bogus", "check"}, 5, "ctl|--bogus|check", "", ""},
        // No verb: the verbs on standard error, status 2.
        Case{&kCtl, {}, 2, "", "", std::string("ctl: no verb given\n") + kCtlList},
        Case{&kCtl, {"--config", "f"}, 2, "", "", "no verb given"},
        // help, --help, -h: the verbs; help VERB, VERB --help: its usage.
        Case{&kCtl, {"help"}, 0, "", kCtlList, ""},
        Case{&kCtl, {"--config", "f", "--help"}, 0, "", kCtlList, ""},
        Case{&kCtl, {"-h"}, 0, "", kCtlList, ""},
        Case{&kCtl, {"help", "lookup"}, 0, "", kLookupUsage, ""},
        Case{&kCtl, {"--help", "lookup"}, 0, "", kLookupUsage, ""},
        Case{&kCtl, {"lookup", "X", "--help"}, 0, "", kLookupUsage, ""},
        Case{&kCtl, {"codes", "add", "-h"}, 0, "", "Usage: ctl [--config FILE] codes add CODE", ""},
        Case{&kCtl, {"help", "help"}, 0, "", "Usage: ctl [--config FILE] help [VERB]\n", ""},
        Case{&kCtl, {"help", "codes"}, 0, "", kCodesList, ""},
        Case{&kCtl, {"codes", "--help"}, 0, "", kCodesList, ""},
        Case{&kCtl, {"help", "--check"}, 2, "", "", "help takes no other option or argument"},
        Case{&kCtl, {"--help", "--check"}, 2, "", "", "--help takes no other option"},
        Case{&kCtl, {"help", "chek"}, 2, "", "", "unknown verb 'chek'; did you mean 'check'?"},
        Case{&kCtl, {"help", ""}, 2, "", "", "ctl: unknown verb '' (see ctl help)\n"},
        // version, --version: the tool and the version, alone.
        Case{&kCtl, {"version"}, 0, "", "ctl 9.8.7\n", ""},
        Case{&kCtl, {"-C", "f", "--version"}, 0, "", "ctl 9.8.7\n", ""},
        Case{&kCtl, {"version", "x"}, 2, "", "", "ctl: version takes no other option or argument"},
        Case{&kCtl, {"--version", "--check"}, 2, "", "", "--version takes no other"},
        // A mistyped verb: the nearest, when it is near; status 2.
        Case{&kCtl, {"chekc"}, 2, "", "", "unknown verb 'chekc'; did you mean 'check'?"},
        Case{&kCtl, {"lokup", "X"}, 2, "", "", "did you mean 'lookup'?"},
        Case{&kCtl, {"verison"}, 2, "", "", "did you mean 'version'?"},
        Case{&kCtl, {"codes", "ad", "A"}, 2, "", "", "'codes ad'; did you mean 'codes add'?"},
        Case{&kCtl, {"codes", "frob"}, 2, "", "", "unknown verb 'codes frob' (see ctl help)"},
        Case{&kCtl, {"codes", "frob", "add"}, 2, "", "", "unknown verb 'codes frob' (see"},
        Case{&kCtl, {"frob"}, 2, "", "", "ctl: unknown verb 'frob' (see ctl help)\n"},
        Case{&kCtl, {"c\x1b[1m"}, 2, "", "", "unknown verb 'c\\x1b[1m'"},
        // Two words in one are not the verb of two, and a long word is not echoed whole.
        Case{&kCtl,
             {"codes add", "A"},
             2,
             "",
             "",
             "ctl: 'codes add' in one word is no verb: give it as two words (see ctl help)\n"},
        Case{&kCtl, {"codes ad", "A"}, 2, "", "", "unknown verb 'codes ad'; did you mean"},
        Case{&kCtl, {std::string(100000, 'x')}, 2, "", "", std::string(79, 'x') + "...' (see"},
        Case{&kCtl, {"codes"}, 2, "", "", "ctl: codes needs one of add, list (see ctl help)\n"},
        // A tool with a verb run when none is named.
        Case{&kLink, {}, 7, "run", "", ""},
        Case{&kLink, {"--config", "f", "--bogus"}, 7, "run|--config|f|--bogus", "", ""},
        Case{&kLink, {"run", "--config=f"}, 7, "run|--config=f", "", ""},
        Case{&kLink, {"--help"}, 0, "", "Without a verb: run.\n", ""},
        Case{&kLink, {"run", "--help"}, 0, "", "Usage: link [run] [--config FILE]\n", ""},
        Case{&kLink, {"rn"}, 2, "", "", "did you mean 'run'?"},
        Case{&kLink, {"--version"}, 0, "", "link 1.0\n", ""}));

TEST(VerbTable, EditDistanceCountsEachSlipOnce) {
    struct {
        const char *a, *b;
        size_t distance;
    } cases[] = {{"check", "check", 0}, {"chekc", "check", 1},        {"chek", "check", 1},
                 {"", "run", 3},        {"codes ad", "codes add", 1}, {"ab", "ba", 1},
                 {"frob", "run", 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.distance, verbs::editDistance(c.a, c.b)) << c.a << " " << c.b;
        EXPECT_EQ(c.distance, verbs::editDistance(c.b, c.a)) << c.a << " " << c.b;
    }
}

}  // namespace
