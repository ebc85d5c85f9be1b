// Each program explains itself: its help names every verb it takes, in the
// form other tools read (two spaces, the verb, two spaces, a summary), each
// verb answers help VERB and VERB --help alike, and --version and version
// print the project's version.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/test_daemon.h"
#include "tests/test_util.h"

using testutil::runTool;
using testutil::ToolRun;

namespace {

struct Program {
    const char* bin;
    const char* name;
    std::set<std::string> verbs;  // what the manual pages and the scripts rely on
    std::string usage;            // how a verb's usage begins, before the verb
};

const Program kPrograms[] = {
    {DORVANE_CTL_BIN,
     "dorvanectl",
     {"check", "lookup", "ports", "watch", "codes add", "codes remove", "codes list",
      "codes import", "codes export", "codes pack", "codes apply-signed", "help", "version"},
     "Usage: dorvanectl [--config FILE] "},
    {DORVANE_SIM_BIN, "ulxd-sim", {"run", "help", "version"}, "Usage: ulxd-sim "},
    {DORVANE_MQTT_BIN,
     "dorvane-mqtt",
     {"run", "status", "events", "help", "version"},
     "Usage: dorvane-mqtt "},
};

void PrintTo(const Program& p, std::ostream* os) {
    *os << p.name;
}

std::vector<std::string> split(const std::string& verb) {
    std::vector<std::string> words;
    size_t space = verb.find(' ');
    words.push_back(verb.substr(0, space));
    if (space != std::string::npos) {
        words.push_back(verb.substr(space + 1));
    }
    return words;
}

// The verbs a help text lists, read as the conventions give the form.
std::set<std::string> listed(const std::string& help) {
    std::set<std::string> verbs;
    std::regex line("^  ([a-z-]+(?: [a-z-]+)?)  +[^ ].*$");
    for (const std::string& l : testutil::splitLines(help)) {
        std::smatch m;
        if (std::regex_match(l, m, line)) {
            verbs.insert(m[1]);
        }
    }
    return verbs;
}

class ToolHelp : public testing::TestWithParam<Program> {};

TEST_P(ToolHelp, NamesEveryVerbAndEachExplainsItself) {
    const Program& p = GetParam();
    ToolRun help = runTool({p.bin, "help"});
    EXPECT_EQ(0, help.status) << help.err;
    EXPECT_EQ(p.verbs, listed(help.out)) << help.out;
    ToolRun dashed = runTool({p.bin, "--help"});
    EXPECT_EQ(0, dashed.status);
    EXPECT_EQ(help.out, dashed.out);
    for (const std::string& verb : p.verbs) {
        std::vector<std::string> argv = {p.bin, "help"};
        for (const std::string& w : split(verb)) {
            argv.push_back(w);
        }
        ToolRun usage = runTool(argv);
        EXPECT_EQ(0, usage.status) << verb << usage.err;
        // "[run]" for the verb of a command line without one.
        std::string line = testutil::splitLines(usage.out).front() + " ";
        EXPECT_TRUE(line.rfind(p.usage + verb + " ", 0) == 0 ||
                    line.rfind(p.usage + "[" + verb + "] ", 0) == 0)
            << verb << "\n"
            << usage.out;
        if (verb == "help" || verb == "version") {
            continue;  // they take no option
        }
        argv.erase(argv.begin() + 1);
        argv.push_back("--help");
        ToolRun asked = runTool(argv);
        EXPECT_EQ(0, asked.status) << verb << asked.err;
        EXPECT_EQ(usage.out, asked.out) << verb;
    }
    for (const char* word : {"--version", "version"}) {
        ToolRun version = runTool({p.bin, word});
        EXPECT_EQ(0, version.status) << version.err;
        EXPECT_EQ(std::string(p.name) + " " + DORVANE_TEST_VERSION + "\n", version.out);
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, ToolHelp, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<Program>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

// Every verb dorvanectl lists reaches the reader of its own words: given
// too many, it says how many it takes (and touches nothing); with none,
// the tool lists its verbs on standard error.
TEST(ToolHelp, DorvanectlDispatchesEveryVerbItLists) {
    ToolRun help = runTool({DORVANE_CTL_BIN, "help"});
    for (const std::string& verb : listed(help.out)) {
        if (verb == "help" || verb == "version") {
            continue;
        }
        std::vector<std::string> argv = {DORVANE_CTL_BIN};
        for (const std::string& w : split(verb)) {
            argv.push_back(w);
        }
        argv.insert(argv.end(), {"w1", "w2", "w3"});
        ToolRun run = runTool(argv);
        EXPECT_EQ(2, run.status) << verb;
        EXPECT_NE(std::string::npos, run.err.find(verb + " takes ")) << verb << run.err;
    }
    ToolRun bare = runTool({DORVANE_CTL_BIN});
    EXPECT_EQ(2, bare.status);
    EXPECT_EQ("", bare.out);
    EXPECT_EQ(listed(help.out), listed(bare.err)) << bare.err;
}

TEST(ToolHelp, TheServiceSaysItsVersion) {
    ToolRun run = runTool({DORVANE_SERVICE_BIN, "--version"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(std::string("dorvane-local ") + DORVANE_TEST_VERSION + "\n", run.out);
}

}  // namespace
