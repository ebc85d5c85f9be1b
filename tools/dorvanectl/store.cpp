#include "tools/dorvanectl/store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "src/pAccess.h"
#include "tools/dorvanectl/replace.h"
#include "tools/dorvanectl/set_record.h"
#include "tools/dorvanectl/site.h"
#include "vdb/DatabaseHandler.h"
#include "vutil/VFile.h"

namespace ctl {

int writeBusyTimeoutMs() {
    const char* given = getenv(kWriteWaitVariable);
    if (given == nullptr) {
        return kWriteBusyTimeoutMs;
    }
    char* end = nullptr;
    errno = 0;
    long ms = strtol(given, &end, 10);
    bool whole = errno == 0 && end != given && *end == '\0';
    return whole && ms >= 1 && ms <= kWriteBusyTimeoutMs ? static_cast<int>(ms)
                                                         : kWriteBusyTimeoutMs;
}

Writer::~Writer() {
    close();
}

void Writer::close() {
    if (mDb != nullptr) {
        sqlite3_close(mDb);
        mDb = nullptr;
    }
}

bool Writer::open(const std::string& path, bool create, std::string* why) {
    if (!create && !vutil::isRegularFile(path.c_str(), why)) {
        return false;  // a FIFO or device is no database, and must not block
    }
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &mDb, flags, nullptr) != SQLITE_OK) {
        *why = mDb != nullptr ? sqlite3_errmsg(mDb) : "out of memory";
        close();
        return false;
    }
    // SQLite falls back to reading a file it may not write; a write lock
    // taken on such a connection would hold nothing.
    if (sqlite3_db_readonly(mDb, "main") == 1) {
        *why = "no permission to write it";
        close();
        return false;
    }
    sqlite3_db_config(mDb, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(mDb, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_busy_timeout(mDb, writeBusyTimeoutMs());
    return true;
}

bool Writer::exec(const char* sql, std::string* why) {
    char* message = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        *why = message != nullptr ? message : sqlite3_errmsg(mDb);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool Writer::lock(std::string* why) {
    if (exec("BEGIN IMMEDIATE", why)) {
        return true;
    }
    if ((sqlite3_errcode(mDb) & 0xff) == SQLITE_BUSY) {
        int ms = writeBusyTimeoutMs();
        *why = "another writer has held it locked for more than " +
               (ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds"
                               : std::to_string(ms) + " milliseconds");
    }
    return false;
}

int Writer::run(const char* sql, const std::vector<std::string>& texts, std::string* why) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(mDb, sql, -1, &stmt, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < texts.size(); ++i) {
        rc = sqlite3_bind_text(stmt, static_cast<int>(i + 1), texts[i].data(),
                               static_cast<int>(texts[i].size()), SQLITE_STATIC);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
    }
    int changed = rc == SQLITE_DONE ? sqlite3_changes(mDb) : -1;
    if (changed < 0) {
        *why = sqlite3_errmsg(mDb);
    }
    sqlite3_finalize(stmt);
    return changed;
}

bool readersOf(const std::string& path, const std::string& code, std::vector<std::string>* readers,
               std::string* why) {
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    pAccess query;
    query.setScanCode(code.c_str());
    TableData* result = nullptr;
    int found = db.Find(&query, &result, why);
    if (found < 0) {
        *why = "the service's lookup cannot run: " + shown(*why);
        return false;
    }
    for (int i = 0; i < found; ++i) {
        readers->push_back(pAccess(result, i).getReaderLabel());
    }
    if (result != nullptr) {
        result->free();
    }
    return true;
}

namespace {

// The live database opened for a write that the service must never see half
// done: no -wal, no -journal, no WAL mode, and the write lock taken. False
// after saying why on standard error.
bool beginWrite(const std::string& path, Writer* w) {
    std::string why;
    std::vector<std::string> problems = journalProblems(path);
    for (const std::string& p : problems) {
        fprintf(stderr, "dorvanectl: %s: nothing written\n", p.c_str());
    }
    if (!problems.empty()) {
        return false;
    }
    if (!w->open(path, false, &why) || !w->lock(&why)) {
        fprintf(stderr, "dorvanectl: cannot write the database %s: %s: nothing written\n",
                shown(path).c_str(), shown(why).c_str());
        return false;
    }
    return true;
}

// The write lock taken (beginWrite), then the readers the service's lookup
// finds for code under that lock. False after saying why on standard error,
// ending in outcome ("nothing written", "nothing removed").
bool lockAndRead(const std::string& path, const std::string& code, const char* outcome, Writer* w,
                 std::vector<std::string>* readers) {
    std::string why;
    if (!beginWrite(path, w)) {
        return false;
    }
    if (!readersOf(path, code, readers, &why)) {
        fprintf(stderr, "dorvanectl: code %s: %s: %s\n", shown(code).c_str(), why.c_str(), outcome);
        return false;
    }
    return true;
}

std::string listed(const std::vector<std::string>& readers) {
    std::string text;
    for (const std::string& r : readers) {
        text +=
            (text.empty() ? "" : ", ") + (r.empty() ? "(a name the service refuses)" : shown(r));
    }
    return text;
}

}  // namespace

int addCode(const std::string& path, const std::string& code, const std::string& reader) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && replaceDatabase(path, {}) != 0) {
        return 1;
    }
    Writer w;
    std::vector<std::string> readers;
    std::string why;
    if (!lockAndRead(path, code, "nothing written", &w, &readers)) {
        return 1;
    }
    if (readers.size() > 1) {
        fprintf(stderr,
                "dorvanectl: code %s is stored for more than one reader (%s), so a scan opens "
                "nothing; remove it first: nothing written\n",
                shown(code).c_str(), listed(readers).c_str());
        return 1;
    }
    if (readers.size() == 1 && readers[0] != reader) {
        fprintf(stderr, "dorvanectl: code %s is already given to reader %s: nothing written\n",
                shown(code).c_str(), listed(readers).c_str());
        return 1;
    }
    bool added = readers.empty();
    if (added &&
        (w.run("INSERT INTO codes (sc, reader) VALUES (?1, ?2)", {code, reader}, &why) != 1 ||
         !markByHand(w, &why) || !w.exec("COMMIT", &why))) {
        fprintf(stderr, "dorvanectl: cannot add code %s: %s: nothing written\n",
                shown(code).c_str(), shown(why).c_str());
        return 1;
    }
    w.close();
    readers.clear();
    if (!readersOf(path, code, &readers, &why) || readers.size() != 1 || readers[0] != reader) {
        fprintf(stderr, "dorvanectl: code %s was written, but the service's lookup finds %s\n",
                shown(code).c_str(), readers.empty() ? "nothing" : listed(readers).c_str());
        return 1;
    }
    printf(added ? "code %s given to reader %s\n"
                 : "code %s was already given to reader %s: nothing changed\n",
           shown(code).c_str(), shown(reader).c_str());
    return 0;
}

int removeCode(const std::string& path, const std::string& code) {
    Writer w;
    std::vector<std::string> readers;
    std::string why;
    if (!lockAndRead(path, code, "nothing removed", &w, &readers)) {
        return 1;
    }
    if (readers.empty()) {
        fprintf(stderr, "dorvanectl: code %s is not in the database %s: nothing removed\n",
                shown(code).c_str(), shown(path).c_str());
        return 1;
    }
    // The rows the lookup found: stored as text of exactly the code's bytes
    // (sc = ?1 first, so that SQLite can use the key's index).
    int removed = w.run(
        "DELETE FROM codes WHERE sc = ?1 AND typeof(sc) = 'text' AND CAST(sc AS BLOB) = CAST(?1 "
        "AS BLOB)",
        {code}, &why);
    if (removed < 0 || !markByHand(w, &why) || !w.exec("COMMIT", &why)) {
        fprintf(stderr, "dorvanectl: cannot remove code %s: %s: nothing removed\n",
                shown(code).c_str(), shown(why).c_str());
        return 1;
    }
    w.close();
    std::vector<std::string> left;
    if (!readersOf(path, code, &left, &why) || !left.empty()) {
        fprintf(stderr, "dorvanectl: code %s: the service's lookup still finds it\n",
                shown(code).c_str());
        return 1;
    }
    printf("code %s removed (it was given to reader %s)\n", shown(code).c_str(),
           listed(readers).c_str());
    return 0;
}

}  // namespace ctl
