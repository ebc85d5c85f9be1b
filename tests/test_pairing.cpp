#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "src/SCLpairs.h"
#include "src/cSCL.h"
#include "src/pairing_index.h"
#include "tests/test_util.h"
#include "vutil/VFile.h"

using testutil::StdoutCapture;
using testutil::TempDir;
using testutil::writeFile;

namespace {

using Record = std::tuple<std::string, std::string, std::string>;

// The records of list in list order; frees everything.
std::vector<Record> take(VList* list) {
    std::vector<Record> records;
    if (list == nullptr) {
        return records;
    }
    list->reset();
    for (int i = 0; i < list->mNodeCount; ++i) {
        auto* r = static_cast<cSCL*>(list->get());
        records.emplace_back(r->getReaderName(), r->getIOLabel(), r->getLEDLabel());
        delete r;
        list->step();
    }
    delete list;
    return records;
}

// Loads path and returns the records in list order.
std::vector<Record> load(const std::string& path, bool* wasNull = nullptr,
                         cSCLpairsReport* report = nullptr) {
    cSCLpairs loader;
    VList* list = loader.getSCLpairsLst(path.c_str(), report);
    if (wasNull != nullptr) {
        *wasNull = list == nullptr;
    }
    return take(list);
}

std::string reader(const std::string& name, const std::string& io, const std::string& led) {
    return "<Reader name=\"" + name + "\"><IOlabel value=\"" + io + "\"/><LEDlabel value=\"" + led +
           "\"/></Reader>";
}

std::string doc(const std::string& body, const char* root = "scl_connections") {
    return std::string("<?xml version=\"1.0\"?><") + root + ">" + body + "</" + root + ">";
}

TEST(Pairing, WorkedExampleGivesThreeRecordsInOrderAndReportsTheRest) {
    bool wasNull = true;
    cSCLpairsReport report;
    auto records = load(DORVANE_TEST_DATA "/pairs_worked_example.xml", &wasNull, &report);
    EXPECT_FALSE(wasNull);
    EXPECT_EQ((std::vector<Record>{Record{"Door1", "RELAY_1", "LED_1"},
                                   Record{"Door2", "RELAY_2B", "LED_2"},
                                   Record{"Door1", "RELAY_9", "LED_9"}}),
              records);
    EXPECT_EQ(3u, report.records);
    EXPECT_FALSE(report.refusedWhole);
    std::vector<Record> refused;
    for (const auto& r : report.refused) {
        refused.emplace_back(std::to_string(r.index), r.name, r.reason);
    }
    // The nested "Inner" is no "Reader" of the file: never counted.
    EXPECT_EQ((std::vector<Record>{Record{"3", "Gate", "empty or missing LED label"},
                                   Record{"4", "", "empty or missing name"},
                                   Record{"5", "Door5", "empty or missing LED label"}}),
              refused);
}

// The record that counts for a reader is its last one, wherever it stands.
TEST(Pairing, TheLastRecordOfAReaderCounts) {
    const std::string text = doc(
        reader("Door1", "RELAY_1", "LED_1") + reader("Door2", "RELAY_2", "LED_2") +
        reader("Door1", "RELAY_9", "LED_9") + reader("Door10", "X", "Y") +
        reader("Door1", "RELAY_5", "LED_5") + reader("A", "A1", "A2") + reader("Door10", "Z", "W"));
    cSCLpairs loader;
    VList* list = loader.parse(text.data(), text.size(), "pairs.xml");
    ASSERT_NE(nullptr, list);
    const cSCLpairIndex index(list);
    EXPECT_EQ(4u, index.readers());
    const struct {
        const char* reader;
        const char* io;  // null: no record counts
    } cases[] = {{"Door1", "RELAY_5"}, {"Door2", "RELAY_2"}, {"Door10", "Z"},
                 {"A", "A1"},          {"Door", nullptr},    {"Door1 ", nullptr},
                 {"", nullptr},        {"0", nullptr},       {"Z", nullptr}};
    for (const auto& c : cases) {
        const cSCL* record = index.find(c.reader);
        ASSERT_EQ(c.io == nullptr, record == nullptr) << c.reader;
        if (record != nullptr) {
            EXPECT_STREQ(c.io, record->getIOLabel()) << c.reader;
        }
    }
    EXPECT_EQ(nullptr, index.find(nullptr));
    deletePairs(list);
}

TEST(Pairing, AnIndexOfNoRecordsFindsNothing) {
    VList empty;
    const cSCLpairIndex indexes[] = {cSCLpairIndex(), cSCLpairIndex(nullptr),
                                     cSCLpairIndex(&empty)};
    for (const cSCLpairIndex& index : indexes) {
        EXPECT_EQ(0u, index.readers());
        EXPECT_EQ(nullptr, index.find("Door1"));
        EXPECT_EQ(nullptr, index.find(""));
    }
}

TEST(Pairing, NoUsableRecordGivesNullNotAnEmptyList) {
    TempDir dir;
    writeFile(dir.file("a.xml"), doc("<Other/>"));
    writeFile(dir.file("b.xml"), doc("<Reader name=\"A\"><IOlabel value=\"X\"/></Reader>"));
    writeFile(dir.file("c.xml"), doc("<Reader name=\"A\"><IOlabel value=\"X\"/>"
                                     "<LEDlabel value=\"Y\"/></Reader>",
                                     "SCL_connections"));
    for (const char* f : {"a.xml", "b.xml", "c.xml"}) {
        bool wasNull = false;
        EXPECT_TRUE(load(dir.file(f), &wasNull).empty());
        EXPECT_TRUE(wasNull) << f;
    }
}

TEST(Pairing, UnreadableOrBrokenFileSaysFailOpenAndWhy) {
    TempDir dir;
    writeFile(dir.file("broken.xml"), "<scl_connections><Reader name=\"A\">");
    writeFile(dir.file("other.xml"), doc(reader("A", "I", "L"), "SCL_connections"));
    std::string large = dir.file("large.xml");
    writeFile(large, "");
    ASSERT_EQ(0, truncate(large.c_str(), vutil::kMaxTextFile + 1));
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.xml"), "cannot be read: No such file or directory"},
        {dir.file("broken.xml"), "not well-formed XML"},
        {dir.path(), "cannot be read: a directory, not a regular file"},
        {"/dev/zero", "cannot be read: not a regular file"},
        {large, "cannot be read: larger than 4194304 bytes"}};
    for (const auto& c : cases) {
        StdoutCapture out;
        bool wasNull = false;
        cSCLpairsReport report;
        load(c.first, &wasNull, &report);
        EXPECT_TRUE(wasNull);
        EXPECT_EQ("Fail open\n", out.text()) << c.first;
        EXPECT_TRUE(report.refusedWhole);
        EXPECT_EQ(c.second, report.whyWhole);
    }
    cSCLpairsReport report;  // refused silently, as ever; the report says why
    StdoutCapture out;
    EXPECT_TRUE(load(dir.file("other.xml"), nullptr, &report).empty());
    EXPECT_EQ("", out.text());
    EXPECT_EQ("the root element is not scl_connections", report.whyWhole);
}

TEST(Pairing, OnlyAttributesWithoutANamespaceCount) {
    TempDir dir;
    writeFile(dir.file("ns.xml"),
              "<scl_connections xmlns:a=\"urn:a\">"
              "<Reader a:name=\"Door2\" name=\"Door1\"><IOlabel value=\"I1\" a:value=\"I2\"/>"
              "<LEDlabel a:value=\"L2\" value=\"L1\"/></Reader>"
              "<Reader name=\"Door3\" a:name=\"Door4\"><IOlabel a:value=\"I3\"/>"
              "<LEDlabel value=\"L3\"/></Reader>"
              "<Reader b:name=\"Undeclared\"><IOlabel value=\"I5\"/><LEDlabel value=\"L5\"/>"
              "</Reader><Reader name=\"Door6\"><LEDlabel valeu=\"L6\"/></Reader>"
              "</scl_connections>");
    cSCLpairsReport report;
    EXPECT_EQ((std::vector<Record>{Record{"Door1", "I1", "L1"}}),
              load(dir.file("ns.xml"), nullptr, &report));
    ASSERT_EQ(3u, report.refused.size());
    EXPECT_EQ("Door3", report.refused[0].name);
    EXPECT_EQ("empty or missing IO label", report.refused[0].reason);
    EXPECT_EQ("empty or missing name", report.refused[1].reason);
    EXPECT_EQ("empty or missing IO label, LED label", report.refused[2].reason);
}

TEST(Pairing, MoreRecordsThanTheListHoldsRefusesTheWholeFile) {
    // Record 10 and the last record name Door1: the last one must win, so a
    // list that kept only the first 65,535 would open the wrong door.
    for (unsigned count : {65535u, 65536u}) {
        std::string body;
        for (unsigned i = 1; i <= count; ++i) {
            body += i == 10      ? reader("Door1", "RELAY_2", "LED_2")
                    : i == count ? reader("Door1", "RELAY_1", "LED_1")
                                 : reader("R" + std::to_string(i), "X", "Y");
        }
        std::string text = doc(body);
        cSCLpairs loader;
        cSCLpairsReport report;
        StdoutCapture out;
        VList* list = loader.parse(text.data(), text.size(), "big.xml", &report);
        std::string printed = out.text();
        EXPECT_EQ(count, report.records);
        if (count == VList::MAX_NODES) {
            const cSCL* winner = cSCLpairIndex(list).find("Door1");
            ASSERT_NE(nullptr, winner);
            EXPECT_STREQ("RELAY_1", winner->getIOLabel());
            std::vector<Record> records = take(list);
            ASSERT_EQ(count, records.size());
            EXPECT_EQ(Record("Door1", "RELAY_1", "LED_1"), records.back());
            EXPECT_FALSE(report.refusedWhole);
            EXPECT_EQ("", printed);
        } else {
            EXPECT_EQ(nullptr, list);
            EXPECT_TRUE(report.refusedWhole);
            const char* why = "65536 records, more than the 65535 the list holds";
            EXPECT_EQ(why, report.whyWhole);
            EXPECT_EQ(
                std::string("Pairing file big.xml refused: ") + why + "; no pairing records\n",
                printed);
        }
    }
}

TEST(Pairing, TextsAreKeptAsTheyStand) {
    TempDir dir;
    writeFile(dir.file("a.xml"),
              doc("<Reader name=\" Door 1 \" other=\"x\">text<IOlabel value=\"  RELAY A\"/>"
                  "<LEDlabel value=\"LED &amp; B \" value2=\"no\"/></Reader>"
                  "<Reader name=\"B\"><IOlabel/><IOlabel value=\"I\"/><IOlabel/>"
                  "<LEDlabel value=\"L\"/></Reader>"));
    EXPECT_EQ(
        (std::vector<Record>{Record{" Door 1 ", "  RELAY A", "LED & B "}, Record{"B", "I", "L"}}),
        load(dir.file("a.xml")));
}

TEST(Pairing, HostileFilesNeitherHangNorReachOut) {
    TempDir dir;
    // Entity expansion ("billion laughs").
    writeFile(dir.file("laughs.xml"),
              testutil::entityBomb(
                  "<Reader name=\"&j;\"><IOlabel value=\"&j;\"/><LEDlabel value=\"L\"/></Reader>"));
    // Deep nesting.
    std::string deep = "<scl_connections>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<g>";
    }
    writeFile(dir.file("deep.xml"), deep);
    // An external entity that would need the network or a local file.
    writeFile(dir.file("external.xml"),
              "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">"
              "<!ENTITY y SYSTEM \"http://192.0.2.1/x\">]>"
              "<scl_connections><Reader name=\"&x;&y;R\"><IOlabel value=\"I\"/>"
              "<LEDlabel value=\"L\"/></Reader></scl_connections>");
    // Within libxml2's bounds while parsing, but each attribute naming the
    // entity is expanded again when read: 100 KB times 2,000 here, far more
    // in a larger file.
    std::string refs = "<Reader name=\"R\"><LEDlabel value=\"L\"/>";
    for (int i = 0; i < 2000; ++i) {
        refs += "<IOlabel value=\"&e;\"/>";
    }
    writeFile(dir.file("amplified.xml"), "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY e \"" +
                                             std::string(100000, 'e') + "\">]><scl_connections>" +
                                             refs + "</Reader></scl_connections>");
    for (const char* f : {"laughs.xml", "deep.xml", "amplified.xml"}) {
        StdoutCapture out;
        bool wasNull = false;
        load(dir.file(f), &wasNull);
        EXPECT_TRUE(wasNull) << f;
    }
    StdoutCapture out;
    auto records = load(dir.file("external.xml"));
    for (const auto& r : records) {
        EXPECT_EQ(std::string::npos, std::get<0>(r).find("root:")) << "external entity read";
    }
}

TEST(SCLRecord, CopiesAndReplacesItsTexts) {
    cSCL record;
    EXPECT_EQ(nullptr, record.getReaderName());
    EXPECT_EQ(nullptr, record.getIOLabel());
    EXPECT_EQ(nullptr, record.getLEDLabel());
    char name[] = "Door";
    record.setReaderName(name);
    name[0] = 'X';
    EXPECT_STREQ("Door", record.getReaderName());
    record.setReaderName("Gate");
    EXPECT_STREQ("Gate", record.getReaderName());
}

}  // namespace
