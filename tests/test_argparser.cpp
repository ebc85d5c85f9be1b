// Each case runs in a process of its own, where getopt_long's state is fresh.
#include <getopt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "src/arg_parser.h"
#include "tests/support/argv.h"
#include "tests/test_util.h"

using testutil::StdoutCapture;
using Opt = argParser::argument_option;

namespace {

// A mutable argv for getopt_long. A case that parses more than once sets
// optind to 0 before each parse: glibc's getopt_long then starts afresh.
struct Args {
    explicit Args(std::vector<std::string> words) : store(std::move(words)) {
        store.insert(store.begin(), "prog");
        ptrs = testutil::argvOf(store);
    }
    int argc() const { return static_cast<int>(store.size()); }
    char** argv() { return ptrs.data(); }
    std::vector<std::string> store;
    std::vector<char*> ptrs;
};

const Opt kEnd = {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0};

struct Example {
    int verbose = 0;
    char port[16] = "";
    char config[64] = "";
    Opt table[4];
    Example() {
        table[0] = {'v', "verbose", "Print more", 0, &verbose, 1, nullptr, 0};
        table[1] = {'p', nullptr, "Port number", 1, nullptr, 0, port, sizeof(port)};
        table[2] = {0, "config", "Configuration file", 1, nullptr, 0, config, sizeof(config)};
        table[3] = kEnd;
    }
};

const char* kExampleUsage =
    "Usage:\n"
    "\t-v --verbose    Print more\n"
    "\t-p              Port number\n"
    "\t--config        Configuration file\n";

TEST(ArgParser, WorkedExampleUsage) {
    Example ex;
    StdoutCapture out;
    argParser::showHelp(ex.table);
    EXPECT_EQ(kExampleUsage, out.text());
}

// --config is reached past the entry without a long name.
TEST(ArgParser, WorkedExampleParsesShortAndLongNames) {
    struct {
        std::vector<std::string> words;
        const char *port, *config;
    } cases[] = {{{"-v", "-p", "8080", "--config", "/tmp/x.conf", "rest"}, "8080", "/tmp/x.conf"},
                 {{"--verbose", "--config=c"}, "", "c"}};
    for (const auto& c : cases) {
        Example ex;
        Args args(c.words);
        optind = 0;
        EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), ex.table)) << c.config;
        EXPECT_EQ(1, ex.verbose);
        EXPECT_STREQ(c.port, ex.port);
        EXPECT_STREQ(c.config, ex.config);
    }
}

// Tables written with seven fields, as callers outside this project do, leave
// argument_size out on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// The worked example as a table without sizes: every argument is copied
// whole and nothing is printed.
TEST(ArgParser, SevenFieldWorkedExample) {
    int verbose = 0;
    char port[16] = "", config[64] = "";
    Opt table[] = {{'v', "verbose", "Print more", 0, &verbose, 1, nullptr},
                   {'p', nullptr, "Port number", 1, nullptr, 0, port},
                   {0, "config", "Configuration file", 1, nullptr, 0, config},
                   {0, nullptr, nullptr, 0, nullptr, 0, nullptr}};
    Args args({"-p", "8080", "--config", "/tmp/x.conf"});
    testing::internal::CaptureStderr();
    StdoutCapture out;
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_EQ("", out.text());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_STREQ("8080", port);
    EXPECT_STREQ("/tmp/x.conf", config);
    EXPECT_EQ(0, verbose);
    StdoutCapture usage;
    argParser::showHelp(table);
    EXPECT_EQ(kExampleUsage, usage.text());
}

// Edge cases on a seven-field table: an optional argument, the same option
// twice, and a letter without a long name between two long options.
struct SevenFieldCase {
    std::vector<std::string> words;
    const char *first, *x, *second;
    int xFlag;
};

// The command line, for the name of the case.
void PrintTo(const SevenFieldCase& c, std::ostream* os) {
    for (const std::string& w : c.words) {
        *os << w << ' ';
    }
}

class SevenField : public testing::TestWithParam<SevenFieldCase> {};

TEST_P(SevenField, CopiesWholeAndPrintsNothing) {
    const SevenFieldCase& c = GetParam();
    int xFlag = 0;
    char first[32] = "", x[32] = "", second[32] = "";
    Opt table[] = {{0, "first", "f", 1, nullptr, 0, first},
                   {'x', nullptr, "x", 2, &xFlag, 5, x},
                   {0, "second", "s", 1, nullptr, 0, second},
                   {0, nullptr, nullptr, 0, nullptr, 0, nullptr}};
    Args args(c.words);
    testing::internal::CaptureStderr();
    StdoutCapture out;
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_EQ("", out.text());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_STREQ(c.first, first);
    EXPECT_STREQ(c.x, x);
    EXPECT_STREQ(c.second, second);
    EXPECT_EQ(c.xFlag, xFlag);
}

INSTANTIATE_TEST_SUITE_P(
    ArgParser, SevenField,
    testing::Values(SevenFieldCase{{"-xVALUE"}, "", "VALUE", "", 5},
                    SevenFieldCase{{"-x", "VALUE"}, "", "", "", 5},
                    SevenFieldCase{
                        {"--first", "a", "--first=bb", "-xone", "-xtwo"}, "bb", "two", "", 5},
                    SevenFieldCase{{"--first", "A", "-xB", "--second", "C"}, "A", "B", "C", 5},
                    SevenFieldCase{{"--second=C", "--first=A"}, "A", "", "C", 0}));

#pragma GCC diagnostic pop

// An empty table: -h and --help print the usage and stop; a word that is
// no option passes.
TEST(ArgParser, EmptyTableHelpsOrPasses) {
    for (std::string word : {"-h", "--help", "file"}) {
        Opt table[] = {kEnd};
        Args args({word});
        StdoutCapture out;
        optind = 0;
        bool help = word[0] == '-';
        EXPECT_EQ(!help, argParser::getArguments(args.argc(), args.argv(), table)) << word;
        EXPECT_EQ(help ? "Usage:\n" : "", out.text()) << word;
    }
}

// One option x (argument: 1 required, 2 optional) into 4 bytes: an
// optional argument only attached, one that just fits.
TEST(ArgParser, OneOptionsArgumentAttachedSeparateAndJustFitting) {
    struct {
        std::vector<std::string> words;
        int argument;
        const char* stored;
    } cases[] = {{{"-xVAL"}, 2, "VAL"}, {{"-x", "VAL"}, 2, ""}, {{"-xxyz"}, 1, "xyz"}};
    for (const auto& c : cases) {
        char buf[4] = "";
        Opt table[] = {{'x', nullptr, "x", c.argument, nullptr, 0, buf, sizeof(buf)}, kEnd};
        Args args(c.words);
        optind = 0;
        EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table)) << c.words[0];
        EXPECT_STREQ(c.stored, buf) << c.words[0];
    }
}

TEST(ArgParser, LongWithEqualsAndSeparate) {
    char a[16] = "", b[16] = "";
    Opt table[] = {{0, "name", "n", 1, nullptr, 0, a, sizeof(a)},
                   {0, "other", "o", 1, nullptr, 0, b, sizeof(b)},
                   kEnd};
    Args args({"--name=VALUE", "--other", "VALUE2"});
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_STREQ("VALUE", a);
    EXPECT_STREQ("VALUE2", b);
}

TEST(ArgParser, RepeatedOptionOverwrites) {
    int flag = 0;
    char buf[16] = "";
    Opt table[] = {{'f', "file", "f", 1, &flag, 7, buf, sizeof(buf)}, kEnd};
    Args args({"-f", "first-longer", "--file", "second"});
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_STREQ("second", buf);
    EXPECT_EQ(7, flag);
}

TEST(ArgParser, EntryWithoutDescriptionHidesTheRestButWorks) {
    int a = 0, b = 0, c = 0;
    Opt table[] = {{'a', "alpha", "first", 0, &a, 1, nullptr, 0},
                   {'b', "beta", nullptr, 0, &b, 1, nullptr, 0},
                   {'c', "gamma", "third", 0, &c, 1, nullptr, 0},
                   kEnd};
    Args args({"-b", "--gamma"});
    StdoutCapture out;
    argParser::showHelp(table);
    EXPECT_EQ("Usage:\n\t-a --alpha      first\n", out.text());
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_EQ(1, b);
    EXPECT_EQ(1, c);
}

TEST(ArgParser, HelpStopsAndLetterHIsAlwaysHelp) {
    int a = 0, h = 0;
    Opt table[] = {{'a', nullptr, "a", 0, &a, 1, nullptr, 0},
                   {'h', "hidden", "h", 0, &h, 1, nullptr, 0},
                   kEnd};
    Args args({"-h", "-a"});
    StdoutCapture out;
    EXPECT_FALSE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_EQ(0, a);  // after -h: not stored
    EXPECT_EQ(0, h);
}

TEST(ArgParser, LongOptionReportedAsItsLetter) {
    int flag = 0;
    char buf[8] = "";
    Opt table[] = {{'q', "quiet", "q", 1, nullptr, 'q', buf, sizeof(buf)},
                   {0, "nothing", "n", 0, nullptr, 'z', nullptr, 0},
                   {'s', nullptr, "s", 0, &flag, 3, nullptr, 0},
                   kEnd};
    Args args({"--quiet", "yes", "--nothing", "-s", "--bogus", "-p", "--quiet"});
    int refused = -1;
    // Errors are ignored, and counted for a caller that asks.
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table, &refused));
    EXPECT_STREQ("yes", buf);
    EXPECT_EQ(3, flag);
    EXPECT_EQ(3, refused);  // --bogus, -p, --quiet without its argument
}

TEST(ArgParser, ArgumentCopyIsBounded) {
    char small[4] = "abc";
    char unsized[8] = "keep";
    Opt table[] = {{'s', "small", "s", 1, nullptr, 0, small, sizeof(small)},
                   {'u', nullptr, "u", 1, nullptr, 0, unsized, 0},
                   kEnd};
    Args args({"-s", "toolong", "-u", "x", "--small=four"});
    int refused = -1;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table, &refused));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ("abc", small);  // refused whole, not cut
    EXPECT_STREQ("x", unsized);  // no size: copied whole
    EXPECT_EQ(2, refused);
    EXPECT_EQ(
        "option --small: argument not stored: longer than 3 characters\n"
        "option --small: argument not stored: longer than 3 characters\n",
        err);
}

TEST(ArgParser, TableBeyondTheLimitsNeverWritesPastTheArrays) {
    int flags[10] = {};
    Opt table[11];
    const char* names[] = {"o0", "o1", "o2", "o3", "o4", "o5", "o6", "o7", "o8", "o9"};
    for (int i = 0; i < 10; ++i) {
        // Every letter takes an argument: "a:b:c:..." is far more than fits.
        table[i] = {static_cast<char>('a' + i), names[i], "d", 1, &flags[i], 1, nullptr, 0};
    }
    table[10] = kEnd;
    Args args({"-a", "x", "--o7", "y", "--o9", "z", "-b", "w"});
    EXPECT_TRUE(argParser::getArguments(args.argc(), args.argv(), table));
    EXPECT_EQ(1, flags[0]);
    EXPECT_EQ(1, flags[7]);  // the eighth entry still has its long name
    EXPECT_EQ(0, flags[9]);  // beyond eight entries: left out
}

}  // namespace
