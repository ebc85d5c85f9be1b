#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "src/pAccess.h"
#include "tests/test_util.h"
#include "vdb/DatabaseHandler.h"

using testutil::execSql;
using testutil::makeCodesDb;
using testutil::StdoutCapture;
using testutil::TempDir;

namespace {

// Waits until thread tid of this process sleeps: once it has started a
// lookup against a held lock, it only sleeps in the busy handler's waits.
bool waitUntilSleeping(pid_t tid, int timeoutMs = 5000) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string stat = testutil::readFile(path);
        size_t end = stat.rfind(')');  // the state follows the command name
        if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S') {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// Looks up code with a handler opened as the service opens it.
int findCode(DatabaseHandler& db, const char* code, TableData** result) {
    pAccess query;
    query.setScanCode(code);
    return db.Find(&query, result);
}

// The number of rows findCode finds for code (-1: the lookup failed), what
// it found freed; a lookup that finds nothing must give no result.
int rowsOf(DatabaseHandler& db, const char* code) {
    TableData* result = reinterpret_cast<TableData*>(0x1);
    int n = findCode(db, code, &result);
    EXPECT_EQ(n > 0, result != nullptr) << code;
    if (n > 0 && result != nullptr) {
        result->free();
    }
    return n;
}

TEST(Database, FindsTheRowWithBothColumnsAsText) {
    TempDir dir;
    makeCodesDb(dir.file("a.db"), {{"04A1", "Door1"}, {"04A2", "Door2"}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    TableData* result = reinterpret_cast<TableData*>(0x1);
    ASSERT_EQ(1, findCode(db, "04A2", &result));
    ASSERT_NE(nullptr, result);
    EXPECT_STREQ("codes", result->tableName);
    ColumnNameList* sc = result->headColNames;
    ASSERT_NE(nullptr, sc);
    EXPECT_STREQ("sc", sc->name);
    EXPECT_EQ(SQL_TYPE_TEXT, sc->type);
    EXPECT_TRUE(sc->isPrimaryKey);
    ASSERT_NE(nullptr, sc->next);
    EXPECT_STREQ("reader", sc->next->name);
    EXPECT_EQ(SQL_TYPE_TEXT, sc->next->type);
    ASSERT_NE(nullptr, result->headRowList);
    EXPECT_STREQ("04A2", result->headRowList->head->value.valT);
    EXPECT_STREQ("Door2", result->headRowList->head->next->value.valT);
    EXPECT_EQ(nullptr, result->headRowList->next);
    {
        StdoutCapture out;
        result->print();
        EXPECT_EQ("table codes\nsc | reader\n04A2 | Door2\n", out.text());
    }
    result->free();
}

// A lookup keeps two rows at most: the first and the first that gives
// another answer (so that a code stored many times costs no more); rows
// that agree count once.
TEST(Database, LookupKeepsTwoDifferingRowsAtMost) {
    TempDir dir;
    testutil::execSql(dir.file("a.db"),
                      "CREATE TABLE codes (sc TEXT, reader TEXT);"
                      "INSERT INTO codes VALUES ('04A1', 'A'), ('04A1', 'A'), ('04A1', 'B'),"
                      "('04A1', 'C'), ('04A2', 'D'), ('04A2', 'D'), ('04A2', 'D');");
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    struct {
        const char* code;
        int found;
        std::vector<std::string> readers;
    } cases[] = {{"04A1", 2, {"A", "B"}}, {"04A2", 1, {"D"}}};
    for (const auto& c : cases) {
        TableData* result = nullptr;
        EXPECT_EQ(c.found, findCode(db, c.code, &result)) << c.code;
        std::vector<std::string> readers;
        for (RowList* r = result != nullptr ? result->headRowList : nullptr; r != nullptr;
             r = r->next) {
            readers.push_back(r->head->next->value.valT);
        }
        EXPECT_EQ(c.readers, readers) << c.code;
        if (result != nullptr) {
            result->free();
        }
    }
}

TEST(Database, NoMatchAndNoKeyGiveNull) {
    TempDir dir;
    makeCodesDb(dir.file("a.db"), {{"04A1", "Door1"}, {"", "EmptyCode"}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    TableData* result = reinterpret_cast<TableData*>(0x1);
    EXPECT_EQ(0, findCode(db, "nope", &result));
    EXPECT_EQ(nullptr, result);
    result = reinterpret_cast<TableData*>(0x1);
    pAccess noKey;  // no scan code: must not return all rows, nor the empty-code row
    noKey.setReaderLabel("Door1");
    EXPECT_EQ(0, db.Find(&noKey, &result));
    EXPECT_EQ(nullptr, result);
}

TEST(Database, MetacharactersAreValuesNotSql) {
    TempDir dir;
    const char* nasty[] = {"' OR '1'='1", "x'; DROP TABLE codes; --", "%", "_", "a\"b",
                           "line\nbreak"};
    makeCodesDb(dir.file("a.db"), {{"04A1", "Door1"}, {"a\"b", "Quote"}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    for (const char* code : nasty) {
        TableData* result = nullptr;
        int n = findCode(db, code, &result);
        if (std::string(code) == "a\"b") {
            ASSERT_EQ(1, n);
            EXPECT_STREQ("Quote", result->headRowList->head->next->value.valT);
            result->free();
        } else {
            EXPECT_EQ(0, n) << code;
            EXPECT_EQ(nullptr, result) << code;
        }
    }
    EXPECT_EQ(1, rowsOf(db, "04A1"));  // table still there
}

TEST(Database, SeesRowsAddedAndRemovedByAnotherConnection) {
    TempDir dir;
    makeCodesDb(dir.file("a.db"), {{"04A1", "Door1"}});
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    EXPECT_EQ(0, rowsOf(db, "NEW1"));
    execSql(dir.file("a.db"), "INSERT INTO codes VALUES ('NEW1', 'Gate');");
    EXPECT_EQ(1, rowsOf(db, "NEW1"));
    execSql(dir.file("a.db"), "DELETE FROM codes WHERE sc = '04A1';");
    EXPECT_EQ(0, rowsOf(db, "04A1"));
}

TEST(Database, WaitsForAWriterThenFailsWithoutCrashing) {
    TempDir dir;
    std::string path = dir.file("a.db");
    makeCodesDb(path, {{"04A1", "Door1"}});
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    sqlite3* writer = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &writer));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));

    // Held for longer than the busy timeout: the lookup fails, cleanly.
    EXPECT_EQ(-1, rowsOf(db, "04A1"));

    // Released while the lookup waits for it: the lookup succeeds.
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
    std::atomic<bool> looking{false};
    bool sawWait = false;
    std::thread release2([&, lookupThread = static_cast<pid_t>(syscall(SYS_gettid))] {
        while (!looking) {
            std::this_thread::yield();
        }
        sawWait = waitUntilSleeping(lookupThread);
        sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr);
    });
    looking = true;
    EXPECT_EQ(1, rowsOf(db, "04A1"));
    release2.join();
    EXPECT_TRUE(sawWait) << "the lookup never waited for the writer";
    sqlite3_close(writer);
}

TEST(Database, OpensADatabaseCreatedAfterTheHandler) {
    TempDir dir;
    std::string path = dir.file("late.db");
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(-1, rowsOf(db, "04A1"));
    EXPECT_NE(0, access(path.c_str(), F_OK));  // read-only handler created nothing
    makeCodesDb(path, {{"04A1", "Door1"}});
    EXPECT_EQ(1, rowsOf(db, "04A1"));
}

TEST(Database, ReopensAFileRemovedAndPutBack) {
    TempDir dir;
    std::string path = dir.file("a.db");
    makeCodesDb(path, {{"04A1", "Door1"}});
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    EXPECT_EQ(1, rowsOf(db, "04A1"));
    ASSERT_EQ(0, remove(path.c_str()));
    EXPECT_EQ(-1, rowsOf(db, "04A1"));
    makeCodesDb(path, {{"04B2", "Door2"}});
    EXPECT_EQ(0, rowsOf(db, "04A1"));
    EXPECT_EQ(1, rowsOf(db, "04B2"));
}

TEST(Database, FileThatIsNotADatabaseOrLacksTheTable) {
    TempDir dir;
    testutil::writeFile(dir.file("junk.db"), std::string(4096, 'j'));
    DatabaseHandler junk(SQLITE3, dir.file("junk.db").c_str(), false, true);
    EXPECT_EQ(-1, rowsOf(junk, "04A1"));
    // Overwritten in place by a database: found without reopening by hand.
    testutil::writeFile(dir.file("junk.db"), "");
    makeCodesDb(dir.file("junk.db"), {{"04A1", "Door1"}});
    EXPECT_EQ(1, rowsOf(junk, "04A1"));
    execSql(dir.file("other.db"), "CREATE TABLE other (x TEXT);");
    DatabaseHandler other(SQLITE3, dir.file("other.db").c_str(), false, true);
    EXPECT_EQ(-1, rowsOf(other, "04A1"));
}

// A scan code matches only a text of exactly its bytes, whatever the column
// declares, and the lookup still searches the index on "sc".
TEST(Database, TextKeyMatchesOnlyTheSameTextAndUsesTheIndex) {
    struct Case {
        const char* declared;
        std::vector<std::pair<std::string, std::string>> hits;  // scan code, reader found
    } cases[] = {
        // A TEXT column stores 1234 and 1.5 as texts; the others keep numbers.
        {"TEXT", {{"1234", "Int"}, {"1.5", "Real"}, {"0042", "Lead"}, {"S1", "Sentinel"}}},
        {"INTEGER", {{"S1", "Sentinel"}}},
        {"NUMERIC", {{"S1", "Sentinel"}}},
        {"", {{"0042", "Lead"}, {"S1", "Sentinel"}}},
        {"TEXT COLLATE NOCASE",
         {{"1234", "Int"}, {"1.5", "Real"}, {"0042", "Lead"}, {"S1", "Sentinel"}}},
    };
    const char* scans[] = {"1234", "01234", " 1234", "1234.0", "1.234e3", "+1234", "42",
                           "0042", "04A1",  "s1",    "S1 ",    "S1",      "1.5",   "Z"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declared);
        TempDir dir;
        std::string path = dir.file("a.db");
        execSql(path, std::string("CREATE TABLE codes (sc ") + c.declared +
                          ", reader TEXT); CREATE UNIQUE INDEX codes_sc ON codes (sc);"
                          "INSERT INTO codes VALUES (1234, 'Int'), ('0042', 'Lead'), "
                          "(X'30344131', 'Blob'), (1.5, 'Real'), ('S1', 'Sentinel'), "
                          "('Z' || char(0) || 'z', 'Nul');");
        DatabaseHandler db(SQLITE3, path.c_str(), false, true);
        for (const char* scan : scans) {
            std::string expected;
            for (const auto& hit : c.hits) {
                expected = hit.first == scan ? hit.second : expected;
            }
            TableData* result = nullptr;
            int n = findCode(db, scan, &result);
            EXPECT_EQ(expected.empty() ? 0 : 1, n) << scan;
            if (result != nullptr) {
                EXPECT_EQ(expected, result->headRowList->head->next->value.valT) << scan;
                result->free();
            }
        }
        pAccess query;
        query.setScanCode("S1");
        sqlite3* raw = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr));
        sqlite3_stmt* plan = nullptr;
        std::string sql = "EXPLAIN QUERY PLAN " + DatabaseHandler::lookupSql(&query);
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(raw, sql.c_str(), -1, &plan, nullptr)) << sql;
        std::string detail;
        while (sqlite3_step(plan) == SQLITE_ROW) {
            detail += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
        }
        sqlite3_finalize(plan);
        sqlite3_close(raw);
        EXPECT_NE(std::string::npos, detail.find("SEARCH codes USING INDEX codes_sc")) << detail;
    }
}

TEST(Database, TextsWithANulByteOrOverlongAreRefused) {
    TempDir dir;
    execSql(dir.file("a.db"),
            "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
            "INSERT INTO codes VALUES ('N1', 'Door1' || char(0) || 'junk'),"
            "('L1', printf('%.1100c', 'x')), ('B1', CAST('Door2' AS BLOB));");
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    for (const char* code : {"N1", "L1", "B1"}) {
        TableData* result = nullptr;
        ASSERT_EQ(1, findCode(db, code, &result)) << code;
        pAccess row(result, 0);
        EXPECT_STREQ(code, row.getScanCode());
        // A blob reader without a NUL reads as its text, as before.
        EXPECT_STREQ(std::string(code) == "B1" ? "Door2" : "", row.getReaderLabel()) << code;
        result->free();
    }
}

// Lookups past the handler's bounds fail as such, and the database put right
// is read again: a value too long to hold is never read whole (a reader of
// 300 MB took 900 MB of memory for one scan), and a view that yields rows
// for ever, cheap or costly ones, does not hold the lookup for good.
TEST(Database, LookupsPastTheBoundsFailThenTheMendedFileIsRead) {
    struct Case {
        const char* name;
        const char* sql;
        const char* reason;
    } cases[] = {
        {"value of 32 MiB",
         "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
         "INSERT INTO codes VALUES ('H1', printf('%.33554432c', 'x'));",
         "too big"},
        {"view without end",
         "CREATE VIEW codes AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n)"
         " SELECT 'H' || (x % 2) AS sc, 'Door1' AS reader FROM n;",
         "ran longer than"},
        {"view without end, each row costly",
         "CREATE VIEW codes AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n)"
         " SELECT 'H' || (x % 2) AS sc, printf('%.1000000c', 'x') AS reader FROM n;",
         "ran longer than"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        execSql(dir.file("a.db"), c.sql);
        DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
        for (int attempt = 0; attempt < 2; ++attempt) {
            pAccess query;
            query.setScanCode("H1");
            TableData* result = nullptr;
            std::string why;
            EXPECT_EQ(-1, db.Find(&query, &result, &why));
            EXPECT_EQ(nullptr, result);
            EXPECT_NE(std::string::npos, why.find(c.reason)) << why;
        }
        execSql(dir.file("b.db"),
                "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
                "INSERT INTO codes VALUES ('H1', 'Door1');");
        ASSERT_EQ(0, rename(dir.file("b.db").c_str(), dir.file("a.db").c_str()));
        TableData* result = nullptr;
        ASSERT_EQ(1, findCode(db, "H1", &result));
        EXPECT_STREQ("Door1", pAccess(result, 0).getReaderLabel());
        result->free();
    }
}

// A missing column is an error (no double-quoted string literal), and so is
// a table that lacks it in a listing.
TEST(Database, MissingColumnIsAnErrorNotAText) {
    TempDir dir;
    execSql(dir.file("a.db"),
            "CREATE TABLE codes (code TEXT, reader TEXT);"
            "INSERT INTO codes VALUES ('sc', 'Door1'), ('x', 'Door2');");
    DatabaseHandler db(SQLITE3, dir.file("a.db").c_str(), false, true);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(-1, rowsOf(db, "sc"));
    }
    pAccess schema;
    std::string why;
    EXPECT_EQ(-1, db.List(
                      &schema, [](const std::vector<DatabaseHandler::StoredValue>&) {}, &why));
    EXPECT_EQ("no such column: sc", why);
}

// A FIFO, a directory or a device at the path is refused without blocking;
// once a database is put there, lookups work.
TEST(Database, NonRegularFileIsRefusedWithoutBlockingThenRetried) {
    // The database itself, or the journal, WAL or shared-memory file that
    // SQLite opens beside it (a FIFO there held the lookup for good).
    struct Case {
        const char* suffix;
        const char* kind;
    } cases[] = {{"", "fifo"},         {"", "directory"}, {"", "device"},
                 {"-journal", "fifo"}, {"-wal", "fifo"},  {"-shm", "directory"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suffix) + " " + c.kind);
        TempDir dir;
        std::string path = dir.file("a.db");
        std::string target = path + c.suffix;
        std::string k = c.kind;
        if (target != path) {
            makeCodesDb(path, {{"04A1", "Door1"}});
        }
        ASSERT_EQ(0, k == "fifo"        ? mkfifo(target.c_str(), 0600)
                     : k == "directory" ? mkdir(target.c_str(), 0700)
                                        : symlink("/dev/zero", target.c_str()));
        DatabaseHandler db(SQLITE3, path.c_str(), false, true);
        EXPECT_FALSE(db.isOpen());
        EXPECT_EQ(-1, rowsOf(db, "04A1"));
        ASSERT_EQ(0, k == "directory" ? rmdir(target.c_str()) : unlink(target.c_str()));
        if (target == path) {
            makeCodesDb(dir.file("real.db"), {{"04A1", "Door1"}});
            ASSERT_EQ(0, rename(dir.file("real.db").c_str(), path.c_str()));
        }
        EXPECT_EQ(1, rowsOf(db, "04A1"));
    }
}

TEST(Database, CreateFlagMakesAWritableFile) {
    TempDir dir;
    std::string path = dir.file("new.db");
    DatabaseHandler db(SQLITE3, path.c_str(), true, false);
    EXPECT_TRUE(db.isOpen());
    EXPECT_EQ(0, access(path.c_str(), F_OK));
}

}  // namespace
