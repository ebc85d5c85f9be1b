#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/test_util.h"
#include "vlog/cVlog.h"

using testutil::logAppender;
using testutil::logRoute;
using testutil::occurrences;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

std::string fileConfig(const std::string& logPath, const char* priority = "DEBUG") {
    return std::string("host=127.0.0.1\nlog4cpp.rootCategory=") + priority + ", F\n" +
           logAppender("F", "FileAppender", logPath, "%c|%p|%m%n");
}

// Two inits write each line once; a long message is cut to the buffer; a
// priority filters lines. Each init replaces the one before.
TEST(Vlog, LinesOnceCutToTheBufferAndFiltered) {
    TempDir dir;
    std::string log = dir.file("out.log"), filtered = dir.file("filtered.log");
    writeFile(dir.file("c.conf"), fileConfig(log));
    cVlog::init(dir.file("c.conf").c_str());
    cVlog::init(dir.file("c.conf").c_str());
    cVlog vlog("VlogTestOnce");
    vlog.debug("hello %d", 42);
    vlog.info("percent %s", "100%");
    vlog.debug("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ("VlogTestOnce|DEBUG|hello 42\nVlogTestOnce|INFO|percent 100%\nVlogTestOnce|DEBUG|" +
                  std::string(1023, 'x') + "\n",
              readFile(log));
    writeFile(dir.file("c.conf"), fileConfig(filtered, "INFO"));
    cVlog::init(dir.file("c.conf").c_str());
    EXPECT_FALSE(vlog.isEnabled(cVlog::DEBUG));
    vlog.debug("hidden");
    vlog.error("shown");
    EXPECT_EQ("VlogTestOnce|ERROR|shown\n", readFile(filtered));
}

// Runs fn and returns what it wrote to standard error.
template <typename Fn>
std::string captureStderr(Fn fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

// Without a configuration file, and for the tools without reading one: INFO
// and above to standard error, and the configuration in force before is gone.
TEST(Vlog, FallsBackToStderrWithoutConfiguration) {
    struct Case {
        const char* name;
        bool readsFile;
    };
    for (const Case& c : {Case{"a missing file", true}, Case{"initStandardError", false}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string before = dir.file("before.log");
        writeFile(dir.file("c.conf"), fileConfig(before));
        cVlog::init(dir.file("c.conf").c_str());
        std::string err = captureStderr([&] {
            if (c.readsFile) {
                cVlog::init(dir.file("missing.conf").c_str());
            } else {
                cVlog::initStandardError();
            }
            cVlog vlog("VlogTestFallback");
            vlog.debug("not shown");
            vlog.info("shown at info");
        });
        EXPECT_EQ(std::string::npos, err.find("not shown"));
        EXPECT_NE(std::string::npos, err.find("INFO VlogTestFallback: shown at info"));
        EXPECT_EQ("", readFile(before));
    }
}

TEST(Vlog, RootWithoutAppenderKeepsStandardErrorWhenOneCategoryIsRouted) {
    TempDir dir;
    std::string log = dir.file("own.log");
    writeFile(dir.file("c.conf"), "log4cpp.rootCategory=INFO\n" + logRoute("VlogTestOwn", "O") +
                                      "log4cpp.appender.O=FileAppender\n"
                                      "log4cpp.appender.O.layout=BasicLayout\n"
                                      "log4cpp.appender.O.fileName=" +
                                      log + "\n");
    std::string err = captureStderr([&] {
        cVlog::init(dir.file("c.conf").c_str());
        cVlog own("VlogTestOwn"), rest("VlogTestRest");
        own.info("to its file");
        rest.info("to standard error");
    });
    EXPECT_NE(std::string::npos, readFile(log).find("to its file"));
    EXPECT_EQ(std::string::npos, err.find("to its file"));
    EXPECT_NE(std::string::npos, err.find("INFO VlogTestRest: to standard error"));
}

// Whatever log4cpp's configurator would refuse is said once and none of it
// applies: INFO and above of every category go to standard error.
TEST(Vlog, BadConfigurationIsReportedOnceAndNeverStops) {
    const std::string console =
        "log4cpp.appender.C=ConsoleAppender\nlog4cpp.appender.C.layout=SimpleLayout\n";
    const std::string pattern = "log4cpp.appender.C.layout.ConversionPattern=%Q\n" + console;
    const std::string badZ = "log4cpp.category.Z=LOUD\n";
    // Each line names the one before sixty times: 54 MB by the fourth, and
    // gigabytes a line later, were it taken.
    std::string growing = "a=" + std::string(240, 'A') + "\n";
    for (const char* key : {"b", "c", "d"}) {
        growing += std::string(key) + "=";
        for (int i = 0; i < 60; ++i) {
            growing += std::string("${") + static_cast<char>(key[0] - 1) + "}";
        }
        growing += "\n";
    }
    const std::string cases[] = {
        "log4cpp.rootCategory=DEBUG, B\nlog4cpp.appender.B=NoSuchAppender\n",
        "log4cpp.category.VlogTestBad=ERROR\n",  // no root category
        "log4cpp.rootCategory=, C\n" + console,  // the root without a priority
        "log4cpp.rootCategory=INFO, C,\n" + console,
        "log4cpp.rootCategory=INFO, C\nlog4cpp.appender.C.target=stdin\n" + console,
        "log4cpp.rootCategory=INFO, C\nlog4cpp.appender.C.threshold=LOUD\n" + console,
        "log4cpp.rootCategory=INFO, C\nlog4cpp.appender.P.layout=SimpleLayout\n" + console,
        "log4cpp.rootCategory=INFO\nlog4cpp.appender.C=ConsoleAppender\n",  // no layout
        "log4cpp.rootCategory=INFO, C\nlog4cpp.appender.C.layout=PatternLayout\n" + pattern,
        "log4cpp.rootCategory=INFO, A\nlog4cpp.appender.A=AbortAppender\n",  // would end us
        // Applies nothing: the category before the bad one keeps its priority.
        "log4cpp.rootCategory=INFO, C\nlog4cpp.category.VlogTestBad=ERROR\n" + badZ + console,
        growing + "log4cpp.rootCategory=INFO, C\n" + console,
        // Each roll-over would rename two billion backups, one by one.
        "log4cpp.rootCategory=INFO, R\n" +
            logAppender("R", "RollingFileAppender", "/dev/null", "%m%n",
                        {"maxFileSize=1", "maxBackupIndex=2000000000"}),
        // Every line padded to 20 MB (and 2 GB, a digit more).
        "log4cpp.rootCategory=INFO, R\n" +
            logAppender("R", "FileAppender", "/dev/null", "%%%-20000000m%n"),
    };
    TempDir dir;
    writeFile(dir.file("junk.conf"), std::string("\x01\x02garbage\xff=\n\0\0\0", 15));
    for (const std::string& text : cases) {
        writeFile(dir.file("bad.conf"), text);
        std::string err = captureStderr([&] {
            cVlog::init(dir.file("bad.conf").c_str());
            cVlog::init(dir.file("bad.conf").c_str());  // the service configures twice
            cVlog::init(dir.file("junk.conf").c_str());
            cVlog vlog("VlogTestBad");
            vlog.debug("not shown");
            vlog.info("still logging");
        });
        EXPECT_EQ(1u, occurrences(err, "bad log configuration")) << text << err;
        EXPECT_EQ(1u, occurrences(err, "INFO VlogTestBad: still logging")) << text << err;
        EXPECT_EQ(0u, occurrences(err, "not shown")) << text;
    }
}

// Built in code as log4cpp would: console targets, thresholds, priorities
// and additivity of named categories.
TEST(Vlog, ConsoleThresholdAndCategoriesAsLog4cppReadsThem) {
    TempDir dir;
    writeFile(dir.file("c.conf"),
              "log4cpp.rootCategory=ERROR, E\n"
              "log4cpp.appender.E=org.apache.log4j.ConsoleAppender\n"
              "log4cpp.appender.E.target=${VLOG_TEST_UNSET}StdErr\n"
              "log4cpp.appender.E.threshold=INFO\n"
              "log4cpp.appender.E.layout=PatternLayout\n"
              "log4cpp.appender.E.layout.ConversionPattern=%c %p %m%n\n"
              "log4cpp.category.VlogTest.Deep=DEBUG, E\n"
              "log4cpp.additivity.VlogTest.Deep=false\n");
    std::string err = captureStderr([&] {
        cVlog::init(dir.file("c.conf").c_str());
        cVlog deep("VlogTest.Deep"), other("VlogTestOther");
        deep.debug("below the threshold");
        deep.info("deep info");
        other.warn("below the root");
        other.error("other error");
    });
    EXPECT_EQ("VlogTest.Deep INFO deep info\nVlogTestOther ERROR other error\n", err);
}

// Every log file passes the file gate: one that it refuses is said once,
// and its appender alone writes to standard error instead; none may block.
TEST(Vlog, LogFilesThatAreNoFilesWriteToStandardError) {
    TempDir dir;
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_EQ(0, mkfifo(dir.file("read-fifo").c_str(), 0600));
    int reader = open(dir.file("read-fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(0, symlink("/dev/zero", dir.file("zero").c_str()));
    struct Case {
        std::string type, file, why;  // why "": accepted
    } cases[] = {
        {"FileAppender", dir.file("fifo"), "not a regular file"},
        {"RollingFileAppender", dir.file("read-fifo"), "not a regular file"},
        {"FileAppender", dir.path(), "a directory, not a regular file"},
        {"FileAppender", dir.file("missing/out.log"), "no such directory"},
        {"FileAppender", dir.file("zero"), "not a regular file"},
        {"DailyRollingFileAppender", dir.file("fifo"), "not a regular file"},
        {"FileAppender", "/dev/null", ""},
        {"DailyRollingFileAppender", dir.file("daily.log"), ""},
    };
    for (const Case& c : cases) {
        writeFile(dir.file("c.conf"), fileConfig(dir.file("out.log")) +
                                          logRoute("VlogTestOwn", "O") +
                                          logAppender("O", c.type, c.file, "own %m%n"));
        std::string err = captureStderr([&] {
            cVlog::init(dir.file("c.conf").c_str());
            cVlog::init(dir.file("c.conf").c_str());  // the service configures twice
            cVlog("VlogTestOwn").info("line %d", 1);
            cVlog("VlogTestRest").info("rest");
        });
        const std::string refusal = "dorvane: log file " + c.file + " refused (" + c.why +
                                    "); appender O writes to standard error instead\n";
        EXPECT_EQ(c.why.empty() ? "" : refusal + "own line 1\n", err) << c.file;
        EXPECT_EQ(1u, occurrences(readFile(dir.file("out.log")), "VlogTestRest|INFO|rest\n"))
            << c.file;  // the other appender is unchanged
        remove(dir.file("out.log").c_str());
    }
    EXPECT_EQ("own line 1\n", readFile(dir.file("daily.log")));
    char buf[16];
    EXPECT_LE(read(reader, buf, sizeof(buf)), 0);  // nothing was written into the FIFO
    close(reader);
}

// Standard error that fails a write (a full disk under it) is written again
// as soon as it can, and says what was lost; so is a log file.
TEST(Vlog, FailedWritesAreCountedAndWritingGoesOn) {
    TempDir dir;
    cVlog::init(dir.file("missing.conf").c_str());  // standard error only
    cVlog vlog("VlogTestFull");
    std::string err = captureStderr([&] {
        int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        int saved = dup(2);
        dup2(full, 2);
        vlog.info("lost one");
        vlog.info("lost two");
        EXPECT_TRUE(vlog.isWriteFailing());
        dup2(saved, 2);
        close(saved);
        close(full);
        vlog.info("written");
        EXPECT_FALSE(vlog.isWriteFailing());
    });
    EXPECT_EQ(std::string::npos, err.find("lost one")) << err;
    EXPECT_NE(std::string::npos, err.find("dorvane: standard error written again; 2 lines were "
                                          "lost\n"))
        << err;
    EXPECT_NE(std::string::npos, err.find("INFO VlogTestFull: written\n")) << err;
}

// The project's RollingFileAppender rolls over as log4cpp's does: past
// maxFileSize the file becomes NAME.1 (the index as wide as the largest),
// the oldest beyond maxBackupIndex goes.
TEST(Vlog, RollingFileRollsOverAsLog4cppDoes) {
    TempDir dir;
    std::string log = dir.file("roll.log");
    writeFile(dir.file("c.conf"), "log4cpp.rootCategory=INFO, R\n" +
                                      logAppender("R", "RollingFileAppender", log, "%m%n",
                                                  {"maxFileSize=20", "maxBackupIndex=10"}));
    cVlog::init(dir.file("c.conf").c_str());
    cVlog vlog("VlogTestRoll");
    for (int i = 1; i <= 30; ++i) {
        vlog.info("line %02d of ten", i);  // 15 bytes: two lines a file
    }
    EXPECT_EQ("", readFile(log));
    EXPECT_EQ("line 29 of ten\nline 30 of ten\n", readFile(log + ".01"));
    EXPECT_EQ("line 11 of ten\nline 12 of ten\n", readFile(log + ".10"));
    struct stat st;
    EXPECT_NE(0, stat((log + ".11").c_str(), &st));
    EXPECT_NE(0, stat((log + ".1").c_str(), &st));
}

TEST(Vlog, ByteOrderMarkAndFilesThatAreNoFiles) {
    TempDir dir;
    std::string log = dir.file("out.log");
    writeFile(dir.file("bom.conf"), "\xEF\xBB\xBF" + fileConfig(log).substr(15));  // no host=
    cVlog::init(dir.file("bom.conf").c_str());
    cVlog("VlogTestBom").debug("configured");
    EXPECT_EQ("VlogTestBom|DEBUG|configured\n", readFile(log));
    // Neither may block nor be read: both fall back to standard error.
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    for (std::string path : {dir.file("fifo"), std::string("/dev/zero")}) {
        std::string err = captureStderr([&] {
            cVlog::init(path.c_str());
            cVlog("VlogTestNoFile").info("fallback");
        });
        EXPECT_NE(std::string::npos, err.find("INFO VlogTestNoFile: fallback")) << path;
    }
}

}  // namespace
