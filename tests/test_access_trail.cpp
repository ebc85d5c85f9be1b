// The access trail end to end: the real service, the simulated site, and the
// trail routed by the configuration to a rotating file of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "src/access_trail.h"
#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using testutil::repeated;
using testutil::ServiceSite;
using testutil::waitLines;

namespace {

TEST(AccessTrail, OneLinePerAccessObjectForEveryResult) {
    const char* kSite =
        "port 12 1 dout RELAY_1 clear\n"
        "port 12 2 dout LED_1 clear\n";
    ServiceSite site;
    // Typo's IO label is misspelt: the LED alone must not read as done.
    site.files({{"Door1", "RELAY_1", "LED_1"},
                {"Lobby", "NONE", "NONE"},
                {"Typo", "RELAY_l", "LED_1"}},
               {{"04A1", "Door1"}, {"0C0C", "Ghost"}, {"L1", "Lobby"}, {"T1", "Typo"}})
        .start(kSite, testutil::logRoute("DorvaneAccess", "TRAIL") +
                          testutil::logAppender("TRAIL", "RollingFileAppender", "trail.log", "%m%n",
                                                {"maxFileSize=1048576", "maxBackupIndex=2"}));
    site.sim().write("seq 7\nscan 12 04A1\nscan 12 FFFF\nscan 3 0C0C\nscan 3 L1\nscan 3 T1\n");
    // A code holding a newline, a quote and a space stays on its one line.
    site.sim().write(testutil::rawCommand(*testutil::accessEvent({"a \"b\"\nc"}, 0x2B, 4)));
    ASSERT_EQ(6u, waitLines(site.file("trail.log"), 6).size());

    // Neither SET answered: the outputs stay toggled, the line says so.
    site.stopSim();
    ASSERT_TRUE(site.startSim(kSite, {"--no-set-reply"}));
    ASSERT_GE(site.sim().waitFor("CONNECTED"), 0);
    site.sim().write("seq 200\nscan 12 04A1\n");
    EXPECT_EQ((std::vector<std::string>{
                  "seq=07 serial=12 code=04A1 reader=Door1 result=toggled RELAY_1=set LED_1=set",
                  "seq=08 serial=12 code=FFFF result=unknown-code",
                  "seq=09 serial=3 code=0C0C reader=Ghost result=no-pairing-record",
                  // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one line, split
                  "seq=0A serial=3 code=L1 reader=Lobby result=no-matching-output "
                  "NONE=no-output NONE=no-output",
                  "seq=0B serial=3 code=T1 reader=Typo result=partly RELAY_l=no-output LED_1=clear",
                  "seq=2B serial=4 code=\"a \\\"b\\\"\\x0ac\" result=unknown-code",
                  // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one line, split
                  "seq=C8 serial=12 code=04A1 reader=Door1 result=partly "
                  "RELAY_1=clear(unconfirmed) LED_1=set(unconfirmed)"}),
              waitLines(site.file("trail.log"), 7));
    // The trail went to its own file only.
    EXPECT_TRUE(site.log("DorvaneAccess").empty());
}

// \xHH for each byte of text, as the trail writes what it escapes.
std::string hexEscaped(const std::string& text) {
    std::string out;
    char hex[5];
    for (unsigned char c : text) {
        snprintf(hex, sizeof(hex), "\\x%02x", c);
        out += hex;
    }
    return out;
}

// Every accepted code is written whole, so that one line stands for one
// card: long codes that share their first 64 bytes, codes of 127 bytes that
// are not UTF-8, C1 controls and format characters (escaped, so that the
// journal keeps the line as text and no code looks like another), UTF-8
// text as it is. A line that would pass 1023
// bytes cuts the reader and leaves out outputs, never the code.
TEST(AccessTrail, EveryCodeWrittenWholeAndEscaped) {
    const std::string label(64, 'L');
    const std::string noOutput = " NONE=no-output NONE=no-output";  // Door1's labels
    const std::string rle = "\xe2\x80\xae";  // U+202E, right-to-left override
    const std::string bidiReader = repeated(rle, 42);
    std::string invalid;
    for (int i = 0; i < 127; ++i) {
        invalid += static_cast<char>(i % 2 == 0 ? 0xff : 0xc0);
    }
    struct Case {
        std::string code, reader, line;  // line: after "seq=.. serial=12 "
    } cases[] = {
        {std::string(64, 'A') + std::string(36, 'a'), "Door1",
         "code=" + std::string(64, 'A') + std::string(36, 'a') +
             " reader=Door1 result=no-matching-output" + noOutput},
        {std::string(64, 'A') + std::string(36, 'b'), "Door1",
         "code=" + std::string(64, 'A') + std::string(36, 'b') +
             " reader=Door1 result=no-matching-output" + noOutput},
        {"T\xc3\xbcr-\xe6\xbc\xa2", "Door1",
         "code=T\xc3\xbcr-\xe6\xbc\xa2 reader=Door1 result=no-matching-output" + noOutput},
        {"a\xc2\x9b"
         "b",
         "Door1", "code=\"a\\xc2\\x9bb\" reader=Door1 result=no-matching-output" + noOutput},
        {"\x9b[31m", "Door1",
         "code=\"\\x9b[31m\" reader=Door1 result=no-matching-output" + noOutput},
        {rle + "1A40", "Door1",
         "code=\"\\xe2\\x80\\xae1A40\" reader=Door1 result=no-matching-output" + noOutput},
        // Format characters show nothing: a byte-order mark, a zero-width space.
        {"\xef\xbb\xbf"
         "05",
         "Door1", "code=\"\\xef\\xbb\\xbf05\" reader=Door1 result=no-matching-output" + noOutput},
        {"0\xe2\x80\x8b"
         "5",
         "Door1", "code=\"0\\xe2\\x80\\x8b5\" reader=Door1 result=no-matching-output" + noOutput},
        // White space other than U+0020 shows as a gap too: quoted, it
        // cannot read as the end of a known code ("05", then a field).
        {"05\xc2\xa0", "Door1",
         "code=\"05\xc2\xa0\" reader=Door1 result=no-matching-output" + noOutput},
        {"0\xe3\x80\x80"
         "5",
         "Door1",
         "code=\"0\xe3\x80\x80"
         "5\" reader=Door1 result=no-matching-output" +
             noOutput},
        {invalid, bidiReader,
         "code=\"" + hexEscaped(invalid) + "\" reader=\"" + repeated("\\xe2\\x80\\xae", 37) +
             "...\" omitted=2 result=toggled"},
    };
    ServiceSite site;
    testutil::Codes codes;
    std::vector<std::string> events;
    for (const Case& c : cases) {
        codes.push_back({c.code, c.reader});
        events.push_back(c.code);
    }
    site.files({{"Door1", "NONE", "NONE"}, {bidiReader, label, label}}, codes)
        .start("port 12 1 dout " + label + " clear\n", testutil::kTrailToFile);
    site.sim().write(testutil::rawCommand(*testutil::accessEvent(events, 1, 12)));
    std::vector<std::string> lines = waitLines(site.file("trail.log"), events.size());
    ASSERT_EQ(events.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ("seq=01 serial=12 " + cases[i].line, lines[i]);
        EXPECT_LE(lines[i].size(), 1023u);
    }
}

TEST(AccessTrail, ToggledOnlyWhenEverySetWasConfirmed) {
    cAccessTrail trail;
    trail.begin(1, 12, "04A1");
    trail.reader("Door1");
    trail.pairingFound();
    trail.output("RELAY_1", true, true);
    trail.output("LED_1", true, false);
    EXPECT_EQ(
        "seq=01 serial=12 code=04A1 reader=Door1 result=partly RELAY_1=set LED_1=set(unconfirmed)",
        trail.line());
}

// The line at its limit: a line of exactly MAX_LINE_BYTES is written
// whole; a longer one keeps the outputs in order while they fit, and the
// first left out would not have fitted. Every first label length from 1 to
// 64 moves the line across the limit once. The code (127 controls, escaped)
// takes room, so that fewer than ten outputs reach the limit and the count
// of those left out has the digits of their number.
TEST(AccessTrail, LinesAtTheLimitKeepEveryOutputThatFits) {
    const size_t kMax = cAccessTrail::MAX_LINE_BYTES;
    const std::string code(cAccessTrail::MAX_CODE_BYTES, '\x01');
    int whole = 0, cut = 0;
    for (size_t first = 1; first <= cAccessTrail::MAX_LABEL_BYTES; ++first) {
        std::vector<std::string> items = {" " + std::string(first, 'F') + "=set"};
        for (int i = 0; i < 8; ++i) {
            items.push_back(" " + std::string(59, static_cast<char>('a' + i)) + "=set");
        }
        for (size_t n = 6; n <= items.size(); ++n) {
            cAccessTrail trail;
            trail.begin(1, 12, code.c_str());
            trail.reader("Door1");
            trail.pairingFound();
            std::string all = "seq=01 serial=12 code=\"" +
                              repeated("\\x01", static_cast<int>(code.size())) +
                              "\" reader=Door1 result=toggled";
            for (size_t k = 0; k < n; ++k) {
                trail.output(items[k].substr(1, items[k].size() - 5).c_str(), true, true);
                all += items[k];
            }
            std::string line = trail.line();
            SCOPED_TRACE(std::to_string(first) + " " + std::to_string(n));
            if (all.size() <= kMax) {
                EXPECT_EQ(all, line);
                whole += all.size() == kMax ? 1 : 0;
                continue;
            }
            ASSERT_LE(line.size(), kMax);
            size_t at = line.find(" omitted=");
            ASSERT_NE(std::string::npos, at);
            size_t left = std::stoul(line.substr(at + 9));
            ASSERT_GE(left, 1u);
            const std::string& next = items[n - left];
            EXPECT_GT(line.size() + next.size(), kMax) << "output " << n - left << " fitted";
            cut += line.size() == kMax ? 1 : 0;
        }
    }
    EXPECT_GT(whole, 0) << "no line of exactly the limit was tried";
    EXPECT_GT(cut, 0) << "no cut line of exactly the limit was tried";
}

}  // namespace
