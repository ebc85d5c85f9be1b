#include <gtest/gtest.h>

#include <string>

#include "src/pAccess.h"
#include "tests/test_util.h"
#include "vdb/DatabaseHandler.h"

using testutil::makeCodesDb;
using testutil::StdoutCapture;
using testutil::TempDir;

namespace {

TEST(AccessRecord, KeyFieldDecidesAllPrimaryKeyFieldsSet) {
    pAccess record;
    EXPECT_STREQ("", record.getScanCode());
    EXPECT_STREQ("", record.getReaderLabel());
    EXPECT_FALSE(record.allPrimaryKeyFieldsSet());
    record.setReaderLabel("Door1");
    EXPECT_FALSE(record.allPrimaryKeyFieldsSet());
    record.setScanCode("04A1");
    EXPECT_TRUE(record.allPrimaryKeyFieldsSet());
    record.setScanCode("");
    EXPECT_FALSE(record.allPrimaryKeyFieldsSet());
}

// The lookup goes by the scan code alone (the reader is no key) and a row
// found carries both columns.
TEST(AccessRecord, LookupIsByTheScanCodeAndGivesBothColumns) {
    TempDir dir;
    makeCodesDb(dir.file("a.db"), {{"04A1", "Door 1"}, {"04A2", "Door2"}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    struct Case {
        const char* sc;
        const char* reader;
        int rows;
    } cases[] = {{"04A1", "", 1},
                 {"04A1", "Door2", 1},  // another reader changes nothing
                 {"", "Door2", 0},      // no scan code: nothing matches
                 {"", "", 0},
                 {"FFFF", "", 0}};
    for (const Case& c : cases) {
        pAccess query;
        query.setScanCode(c.sc);
        query.setReaderLabel(c.reader);
        TableData* result = nullptr;
        ASSERT_EQ(c.rows, db.Find(&query, &result)) << c.sc << "/" << c.reader;
        if (c.rows == 0) {
            EXPECT_EQ(nullptr, result);
            continue;
        }
        pAccess row0(result, 0);
        EXPECT_STREQ("04A1", row0.getScanCode());
        EXPECT_STREQ("Door 1", row0.getReaderLabel());
        pAccess row1(result, 1);  // past the last row: unchanged, empty
        EXPECT_STREQ("", row1.getScanCode());
        EXPECT_STREQ("", row1.getReaderLabel());
        pAccess rowNeg(result, -3);  // 0 or less: the first row
        EXPECT_STREQ("04A1", rowNeg.getScanCode());
        result->free();
    }
}

TEST(AccessRecord, OverlongTextsAreRefusedNotCut) {
    std::string code127(127, 'A');
    std::string code128(128, 'A');
    pAccess record;
    record.setScanCode(code127.c_str());
    EXPECT_EQ(code127, record.getScanCode());
    record.setScanCode(code128.c_str());
    EXPECT_STREQ("", record.getScanCode());
    EXPECT_FALSE(record.allPrimaryKeyFieldsSet());
    record.setReaderLabel(std::string(5000, 'R').c_str());
    EXPECT_STREQ("", record.getReaderLabel());

    // A cut code must never find the row of its 127-character prefix.
    TempDir dir;
    makeCodesDb(dir.file("a.db"), {{code127, "Door1"}, {"04A1", std::string(128, 'L')}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    pAccess query;
    query.setScanCode(code128.c_str());
    TableData* result = reinterpret_cast<TableData*>(0x1);
    EXPECT_EQ(0, db.Find(&query, &result));
    EXPECT_EQ(nullptr, result);

    // A reader label of 128 characters in a row leaves the field empty.
    query.setScanCode("04A1");
    ASSERT_EQ(1, db.Find(&query, &result));
    pAccess found(result, 0);
    EXPECT_STREQ("04A1", found.getScanCode());
    EXPECT_STREQ("", found.getReaderLabel());
    result->free();
}

TEST(AccessRecord, UnknownAndNonTextColumnsAreReportedAndSkipped) {
    TableData* t = new TableData();
    t->setTableName("codes");
    t->addColumn("extra", SQL_TYPE_TEXT, false);
    t->addColumn("reader", SQL_TYPE_INTEGER, false);
    t->addColumn("sc", SQL_TYPE_TEXT, true);
    t->addColumn("dangling", SQL_TYPE_TEXT, false);  // no value in the row
    RowList* row = t->addRow();
    TableData::addText(row, "x");
    TableData::addValue(row)->value.valI = 5;
    TableData::addText(row, "04A1");
    StdoutCapture out;
    pAccess record;
    record.setReaderLabel("before");
    pAccess filled(t, 0);
    EXPECT_EQ(
        "Don't know what to do with col extra(2)\n"
        "Don't know what to do with col reader(1)\n",
        out.text());
    EXPECT_STREQ("04A1", filled.getScanCode());
    EXPECT_STREQ("", filled.getReaderLabel());
    t->free();
}

}  // namespace

namespace {

// The one rule the lookup and dorvanectl share for stored values.
TEST(AccessRecord, RefusalNamesWhyAStoredValueCanNeverServe) {
    struct Case {
        const char* column;
        sqlType stored;
        std::string bytes;
        const char* why;  // null: taken
    } cases[] = {
        {"sc", SQL_TYPE_TEXT, "04A1", nullptr},
        {"sc", SQL_TYPE_INTEGER, "1234", "is stored as an integer, not as text"},
        {"sc", SQL_TYPE_FLOAT, "1.5", "is stored as a real number, not as text"},
        {"sc", SQL_TYPE_BLOB, "04A1", "is stored as a blob, not as text"},
        {"sc", SQL_TYPE_NULL, "", "is NULL, not text"},
        {"sc", SQL_TYPE_TEXT, std::string("04\0A1", 5), "contains a NUL byte"},
        {"sc", SQL_TYPE_TEXT, std::string(127, 'K'), nullptr},
        {"sc", SQL_TYPE_TEXT, std::string(128, 'K'), "is longer than 127 characters"},
        {"sc", SQL_TYPE_TEXT, "", "is empty"},
        {"reader", SQL_TYPE_TEXT, std::string("Door1\0junk", 10), "contains a NUL byte"},
        {"reader", SQL_TYPE_TEXT, std::string(2000, 'R'), "is longer than 1023 bytes"},
        {"reader", SQL_TYPE_TEXT, std::string(128, 'R'), "is longer than 127 characters"},
        {"reader", SQL_TYPE_INTEGER, "7", nullptr},
        {"code", SQL_TYPE_TEXT, "x", "is not a column of table codes"},
    };
    for (const Case& c : cases) {
        const char* why = pAccess::refusal(c.column, c.stored, c.bytes);
        EXPECT_STREQ(c.why, why) << c.column << " " << c.bytes.size();
    }
}

}  // namespace
