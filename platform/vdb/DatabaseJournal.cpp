// The state of a database file's journal, for the handler's own lines and
// for dorvanectl.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vdb/DatabaseHandler.h"

namespace {

// The first 20 bytes of the file's header; false when it is no regular file
// (opened without blocking) or shorter.
bool readHeader(const std::string& path, unsigned char header[20]) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, header, 20, 0) == 20;
    ::close(fd);
    return ok;
}

}  // namespace

DatabaseHandler::eJournalState DatabaseHandler::journalState(const std::string& path) {
    unsigned char header[20];
    if (!readHeader(path, header)) {
        return JOURNAL_UNKNOWN;
    }
    // Bytes 18 and 19 are the write and read versions: 2 means WAL. Not
    // opened through SQLite then: a read-only connection may create -shm.
    if (header[18] == 2 || header[19] == 2) {
        return JOURNAL_WAL;
    }
    if (!irregularCompanion(path).empty()) {
        return JOURNAL_UNKNOWN;  // never opened: SQLite's open would block
    }
    if (access((path + "-journal").c_str(), F_OK) != 0) {
        return JOURNAL_NONE;
    }
    // SQLite alone decides whether the journal is hot (it is not while its
    // writer still holds the database): a read-only connection says so.
    sqlite3* db = nullptr;
    eJournalState state = JOURNAL_UNKNOWN;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        state = rc == SQLITE_OK                                            ? JOURNAL_NONE
                : sqlite3_extended_errcode(db) == SQLITE_READONLY_ROLLBACK ? JOURNAL_HOT
                                                                           : JOURNAL_UNKNOWN;
    }
    sqlite3_close(db);
    return state;
}

std::string DatabaseHandler::hotJournalRemedy(const std::string& path) {
    return "an interrupted write left the hot journal " + path +
           "-journal, which a read-only reader cannot roll back; no lookup works until a "
           "writer opens the database once, for example: sqlite3 " +
           path +
           " 'PRAGMA quick_check'. Only if the file was not replaced since the write was "
           "interrupted: otherwise the journal belongs to the old file and would corrupt the "
           "new one, so remove the journal instead";
}
