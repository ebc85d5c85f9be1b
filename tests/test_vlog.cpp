#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cVlog.h"
#include "test_util.h"

using testutil::readFile;
using testutil::splitLines;
using testutil::TempDir;
using testutil::writeFile;

namespace {

std::string fileConfig(const std::string& logPath, const char* priority = "DEBUG") {
    return std::string("host=127.0.0.1\n") + "log4cpp.rootCategory=" + priority + ", F\n" +
           "log4cpp.appender.F=FileAppender\n" + "log4cpp.appender.F.fileName=" + logPath + "\n" +
           "log4cpp.appender.F.layout=PatternLayout\n" +
           "log4cpp.appender.F.layout.ConversionPattern=%c|%p|%m%n\n";
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

TEST(Vlog, SecondInitDoesNotDuplicateLines) {
    TempDir dir;
    std::string log = dir.file("out.log");
    writeFile(dir.file("c.conf"), fileConfig(log));
    cVlog::init(dir.file("c.conf").c_str());
    cVlog::init(dir.file("c.conf").c_str());
    cVlog vlog("VlogTestOnce");
    vlog.debug("hello %d", 42);
    vlog.info("percent %s", "100%");
    EXPECT_EQ(1, countOf(readFile(log), "VlogTestOnce|DEBUG|hello 42\n"));
    EXPECT_EQ(1, countOf(readFile(log), "VlogTestOnce|INFO|percent 100%\n"));
}

TEST(Vlog, LongMessageIsCutToTheBuffer) {
    TempDir dir;
    std::string log = dir.file("out.log");
    writeFile(dir.file("c.conf"), fileConfig(log));
    cVlog::init(dir.file("c.conf").c_str());
    cVlog vlog("VlogTestLong");
    std::string big(5000, 'x');
    vlog.debug("%s", big.c_str());
    auto lines = splitLines(readFile(log));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("VlogTestLong|DEBUG|" + std::string(1023, 'x'), lines[0]);
}

TEST(Vlog, PriorityFiltersLines) {
    TempDir dir;
    std::string log = dir.file("out.log");
    writeFile(dir.file("c.conf"), fileConfig(log, "INFO"));
    cVlog::init(dir.file("c.conf").c_str());
    cVlog vlog("VlogTestFilter");
    EXPECT_FALSE(vlog.isEnabled(cVlog::DEBUG));
    vlog.debug("hidden");
    vlog.error("shown");
    EXPECT_EQ("VlogTestFilter|ERROR|shown\n", readFile(log));
}

// Runs fn with standard error sent to a file and returns what it wrote.
template <typename Fn>
std::string captureStderr(const std::string& path, Fn fn) {
    fflush(stderr);
    int saved = dup(2);
    FILE* f = fopen(path.c_str(), "w");
    dup2(fileno(f), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    fclose(f);
    return readFile(path);
}

TEST(Vlog, FallsBackToStderrWithoutConfiguration) {
    TempDir dir;
    std::string err = captureStderr(dir.file("err"), [&] {
        cVlog::init(dir.file("missing.conf").c_str());
        cVlog vlog("VlogTestFallback");
        vlog.debug("not shown");
        vlog.info("shown at info");
    });
    EXPECT_EQ(std::string::npos, err.find("not shown"));
    EXPECT_NE(std::string::npos, err.find("INFO VlogTestFallback: shown at info"));
}

TEST(Vlog, RootWithoutAppenderKeepsStandardErrorWhenOneCategoryIsRouted) {
    TempDir dir;
    std::string log = dir.file("own.log");
    writeFile(dir.file("c.conf"),
              "log4cpp.rootCategory=INFO\n"
              "log4cpp.category.VlogTestOwn=INFO, O\n"
              "log4cpp.additivity.VlogTestOwn=false\n"
              "log4cpp.appender.O=FileAppender\n"
              "log4cpp.appender.O.layout=BasicLayout\n"
              "log4cpp.appender.O.fileName=" +
                  log + "\n");
    std::string err = captureStderr(dir.file("err"), [&] {
        cVlog::init(dir.file("c.conf").c_str());
        cVlog own("VlogTestOwn"), rest("VlogTestRest");
        own.info("to its file");
        rest.info("to standard error");
    });
    EXPECT_NE(std::string::npos, readFile(log).find("to its file"));
    EXPECT_EQ(std::string::npos, err.find("to its file"));
    EXPECT_NE(std::string::npos, err.find("INFO VlogTestRest: to standard error"));
}

TEST(Vlog, BadConfigurationIsReportedOnceAndNeverStops) {
    TempDir dir;
    writeFile(dir.file("bad.conf"),
              "log4cpp.rootCategory=DEBUG, B\nlog4cpp.appender.B=NoSuchAppender\n");
    writeFile(dir.file("junk.conf"), std::string("\x01\x02garbage\xff=\n\0\0\0", 15));
    std::string err = captureStderr(dir.file("err"), [&] {
        cVlog::init(dir.file("bad.conf").c_str());
        cVlog::init(dir.file("bad.conf").c_str());  // the service configures twice
        cVlog::init(dir.file("junk.conf").c_str());
        cVlog vlog("VlogTestBad");
        vlog.warn("still logging");
    });
    EXPECT_EQ(1, countOf(err, "bad log configuration")) << err;
    EXPECT_EQ(1, countOf(err, "WARN VlogTestBad: still logging"));
}

TEST(Vlog, LogFileInAMissingDirectorySaysSoAndFallsBack) {
    TempDir dir;
    std::string log = dir.file("missing/out.log");
    writeFile(dir.file("c.conf"), fileConfig(log));
    std::string err = captureStderr(dir.file("err"), [&] {
        cVlog::init(dir.file("c.conf").c_str());
        cVlog::init(dir.file("c.conf").c_str());
        cVlog("VlogTestNoDir").warn("to standard error");
    });
    EXPECT_EQ(1, countOf(err, "dorvane: log file " + log +
                                  " cannot be opened (No such file or directory); logging INFO "
                                  "and above to standard error\n"))
        << err;
    EXPECT_EQ(1, countOf(err, "WARN VlogTestNoDir: to standard error"));
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
        std::string err = captureStderr(dir.file("err"), [&] {
            cVlog::init(path.c_str());
            cVlog("VlogTestNoFile").info("fallback");
        });
        EXPECT_NE(std::string::npos, err.find("INFO VlogTestNoFile: fallback")) << path;
    }
}

}  // namespace
