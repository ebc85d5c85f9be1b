#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "SCLpairs.h"
#include "cSCL.h"
#include "test_util.h"

using testutil::StdoutCapture;
using testutil::TempDir;
using testutil::writeFile;

namespace {

using Record = std::tuple<std::string, std::string, std::string>;

// Loads path and returns the records in list order; frees everything.
std::vector<Record> load(const std::string& path, bool* wasNull = nullptr) {
    cSCLpairs loader;
    VList* list = loader.getSCLpairsLst(path.c_str());
    if (wasNull != nullptr) {
        *wasNull = list == nullptr;
    }
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

std::string doc(const std::string& body, const char* root = "scl_connections") {
    return std::string("<?xml version=\"1.0\"?><") + root + ">" + body + "</" + root + ">";
}

TEST(Pairing, WorkedExampleGivesThreeRecordsInOrder) {
    bool wasNull = true;
    auto records = load(DORVANE_TEST_DATA "/pairs_worked_example.xml", &wasNull);
    EXPECT_FALSE(wasNull);
    EXPECT_EQ((std::vector<Record>{Record{"Door1", "RELAY_1", "LED_1"},
                                   Record{"Door2", "RELAY_2B", "LED_2"},
                                   Record{"Door1", "RELAY_9", "LED_9"}}),
              records);
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

TEST(Pairing, MissingOrBrokenFileSaysFailOpen) {
    TempDir dir;
    writeFile(dir.file("broken.xml"), "<scl_connections><Reader name=\"A\">");
    for (const char* f : {"missing.xml", "broken.xml"}) {
        StdoutCapture out;
        bool wasNull = false;
        load(dir.file(f), &wasNull);
        EXPECT_TRUE(wasNull);
        EXPECT_EQ("Fail open\n", out.text()) << f;
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
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
    const char* prev = "a";
    std::string names[] = {"b", "c", "d", "e", "f", "g", "h", "i", "j"};
    for (auto& n : names) {
        laughs += "<!ENTITY " + n + " \"";
        for (int i = 0; i < 10; ++i) {
            laughs += std::string("&") + prev + ";";
        }
        laughs += "\">";
        prev = n.c_str();
    }
    laughs +=
        "]><scl_connections><Reader name=\"&j;\"><IOlabel value=\"&j;\"/>"
        "<LEDlabel value=\"L\"/></Reader></scl_connections>";
    writeFile(dir.file("laughs.xml"), laughs);
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
    for (const char* f : {"laughs.xml", "deep.xml"}) {
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
