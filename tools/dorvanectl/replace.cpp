#include "tools/dorvanectl/replace.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/dorvanectl/dbfile.h"
#include "tools/dorvanectl/leftovers.h"
#include "tools/dorvanectl/set_record.h"
#include "tools/dorvanectl/site.h"
#include "tools/dorvanectl/store.h"

namespace ctl {
namespace {

// The file that path names: links are followed, also to a file not made
// yet, so that the rename replaces the database and not the link to it.
std::string livePath(const std::string& path) {
    std::string p = path;
    char target[4096];
    struct stat st;
    for (int links = 0; links < 40 && lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++links) {
        ssize_t n = readlink(p.c_str(), target, sizeof(target) - 1);
        if (n <= 0) {
            break;
        }
        std::string t(target, static_cast<size_t>(n));
        size_t slash = p.rfind('/');
        if (t[0] == '/' || slash == std::string::npos) {
            p = t;
        } else {
            p.erase(slash + 1);
            p += t;
        }
    }
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    char* real = realpath(dir.c_str(), nullptr);
    std::string live = real != nullptr ? std::string(real) + "/" + p.substr(slash + 1) : p;
    free(real);
    return live;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool fillCodes(Writer& w, const CodeRows& rows, std::string* why) {
    if (!w.exec(kCodesSchema, why) || !w.exec("BEGIN", why)) {
        return false;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(w.db(), "INSERT INTO codes (sc, reader) VALUES (?1, ?2)", -1, &stmt,
                           nullptr) != SQLITE_OK) {
        *why = sqlite3_errmsg(w.db());
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        const csv::Line& r = rows[i];
        ok = sqlite3_bind_text(stmt, 1, r.code.data(), static_cast<int>(r.code.size()),
                               SQLITE_STATIC) == SQLITE_OK &&
             sqlite3_bind_text(stmt, 2, r.reader.data(), static_cast<int>(r.reader.size()),
                               SQLITE_STATIC) == SQLITE_OK &&
             sqlite3_step(stmt) == SQLITE_DONE;
        if (!ok) {
            *why = "code " + shown(r.code) + ": " + sqlite3_errmsg(w.db());
        }
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    return ok && w.exec("COMMIT", why);
}

// Copies one schema object of the attached live file into w; a table with
// its rows. Prints what it did.
bool copyObject(Writer& w, const std::string& type, const std::string& name,
                const std::string& table, const std::string& sql, std::string* why) {
    if (table == "codes") {
        if (type != "table") {
            printf("  not copied: %s %s on table codes (codes.sql makes the new table)\n",
                   type.c_str(), shown(name).c_str());
        }
        return true;
    }
    if (name.compare(0, 7, "sqlite_") == 0) {
        return true;  // SQLite's own; sqlite_sequence is copied at the end
    }
    if (!w.exec(sql.c_str(), why)) {
        return false;
    }
    if (type != "table") {
        printf("  copied %s %s\n", type.c_str(), shown(name).c_str());
        return true;
    }
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    quoted += "\"";
    int n =
        w.run(("INSERT INTO main." + quoted + " SELECT * FROM live." + quoted).c_str(), {}, why);
    if (n < 0) {
        return false;
    }
    printf("  copied table %s (%d rows) from the old file\n", shown(name).c_str(), n);
    return true;
}

// The tables other than codes (with their indexes, triggers and views) of
// live, copied into w.
bool copyOthers(Writer& w, const std::string& live, std::string* why) {
    if (w.run("ATTACH ?1 AS live", {live}, why) < 0 || !w.exec("BEGIN", why)) {
        return false;
    }
    sqlite3_stmt* stmt = nullptr;
    bool ok = sqlite3_prepare_v2(w.db(),
                                 "SELECT type, name, tbl_name, sql FROM live.sqlite_master "
                                 "WHERE sql IS NOT NULL ORDER BY type <> 'table', rowid",
                                 -1, &stmt, nullptr) == SQLITE_OK;
    std::vector<std::vector<std::string>> objects;
    while (ok && sqlite3_step(stmt) == SQLITE_ROW) {
        std::vector<std::string> o;
        o.reserve(4);
        for (int i = 0; i < 4; ++i) {
            o.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
        }
        objects.push_back(o);
    }
    sqlite3_finalize(stmt);
    if (!ok) {
        *why = sqlite3_errmsg(w.db());
        return false;
    }
    bool sequence = false;
    for (const auto& o : objects) {
        sequence = sequence || o[1] == "sqlite_sequence";
        if (!copyObject(w, o[0], o[1], o[2], o[3], why)) {
            return false;
        }
    }
    if (sequence && (w.run("DELETE FROM main.sqlite_sequence", {}, why) < 0 ||
                     w.run("INSERT INTO main.sqlite_sequence SELECT * FROM live.sqlite_sequence",
                           {}, why) < 0)) {
        return false;
    }
    return w.exec("COMMIT", why) && w.exec("DETACH live", why);
}

// The new file as the service would read it: sound, and holding exactly
// rows, each taken by the service's own rules.
bool checkNew(const std::string& next, const CodeRows& rows, std::string* why) {
    Writer w;
    sqlite3_stmt* stmt = nullptr;
    std::string verdict;
    if (w.open(next, false, why) &&
        sqlite3_prepare_v2(w.db(), "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    w.close();
    if (verdict != "ok") {
        *why = "PRAGMA integrity_check says: " + (verdict.empty() ? *why : verdict);
        return false;
    }
    // The rows come back in the order they were stored (a full scan of a
    // new table); any other order fails the import, never passes it.
    size_t i = 0;
    std::string bad;
    bool listed = listCodes(
        next,
        [&](const Code& c) {
            if (!bad.empty()) {
                return;
            }
            if (!c.refused.empty()) {
                bad = "code " + shown(c.code) + ": " + c.refused;
            } else if (i >= rows.size() || c.code != rows[i].code || c.reader != rows[i].reader) {
                bad = "the service's listing of the new file differs from the codes given";
            }
            ++i;
        },
        why);
    if (listed && bad.empty() && i != rows.size()) {
        bad = "the new file holds " + std::to_string(i) + " codes, not " +
              std::to_string(rows.size());
    }
    if (!bad.empty()) {
        *why = bad;
    }
    return listed && bad.empty();
}

// Makes the file's content and its directory entry durable.
bool sync(const std::string& path, bool directory, std::string* why) {
    int fd = open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (!ok) {
        *why = "cannot sync " + shown(path) + ": " + strerror(errno);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// True when why is SQLite's or the system's word for a full disk.
bool fullDisk(const std::string& why) {
    return why.find(sqlite3_errstr(SQLITE_FULL)) != std::string::npos ||
           why.find(strerror(ENOSPC)) != std::string::npos;
}

// Everything between the new file's creation and the rename; the live
// file's lock is held in *lock while the file exists.
bool buildAndRename(const std::string& live, const std::string& next, const CodeRows& rows,
                    bool exists, const SignedSet* set, Writer* lock, ReplaceFailure* failure) {
    std::string* why = &failure->why;
    Writer w;
    if (!w.open(next, false, why) || !fillCodes(w, rows, why)) {
        return false;
    }
    if (exists) {
        // The write lock keeps every other writer out until the rename: no
        // journal of theirs can come to lie beside the new file.
        if (!lock->open(live, false, why) || !lock->lock(why)) {
            *why = "cannot take the write lock of " + shown(live) + ": " + *why;
            failure->passing = true;
            return false;
        }
        std::vector<std::string> problems = journalProblems(live);
        if (!problems.empty()) {
            *why = problems[0];
            failure->passing = true;
            return false;
        }
        if (!copyOthers(w, live, why)) {
            *why = "cannot copy the other tables: " + *why;
            return false;
        }
    }
    bool recorded = w.exec("BEGIN", why) &&
                    (set != nullptr ? writeSignedRecord(w, set->version, set->sha256, why)
                                    : markByHand(w, why)) &&
                    w.exec("COMMIT", why);
    if (!recorded) {
        *why = "cannot record which set is in force: " + *why;
        return false;
    }
    w.close();
    std::string owned;
    if (!checkNew(next, rows, why) ||
        !(exists ? ownLike(next, live, &owned, why) : ownNewDatabase(next, &owned, why)) ||
        !sync(next, false, why)) {
        return false;
    }
    if (rename(next.c_str(), live.c_str()) != 0) {
        *why = "cannot rename " + shown(next) + ": " + strerror(errno);
        return false;
    }
    sync(directoryOf(live), true, why);  // the rename is done; a failed sync is only said
    printf(exists ? "%s: %zu codes, in a new file renamed over the old one (%s)\n"
                  : "%s: a new database with %zu codes (%s)\n",
           shown(live).c_str(), rows.size(), owned.c_str());
    return true;
}

}  // namespace

int replaceDatabase(const std::string& path, const CodeRows& rows, const SignedSet* set,
                    ReplaceFailure* failure) {
    std::string live = livePath(path);
    struct stat st;
    bool exists = stat(live.c_str(), &st) == 0;
    std::string why, next;
    for (const std::string& gone : removeLeftovers(live)) {
        printf("%s: removed, left by an import that no longer runs\n", shown(gone).c_str());
    }
    std::vector<std::string> problems = exists ? journalProblems(live) : std::vector<std::string>();
    // The new file is made on the same file system, so that the rename is
    // atomic; its lock tells later imports that this one runs.
    int held = problems.empty() ? createImportFile(live, &next, &why) : -1;
    if (held < 0) {
        fprintf(stderr, "dorvanectl: %s: nothing written\n",
                problems.empty() ? why.c_str() : problems[0].c_str());
        if (failure != nullptr) {
            failure->passing = !problems.empty() || fullDisk(why);
            failure->why = problems.empty() ? why : problems[0];
        }
        return 1;
    }
    Writer lock;
    ReplaceFailure failed;
    bool done = buildAndRename(live, next, rows, exists, set, &lock, &failed);
    if (!done) {
        unlink(next.c_str());
        unlink((next + "-journal").c_str());
        failed.passing = failed.passing || fullDisk(failed.why);
        fprintf(stderr, "dorvanectl: %s: the database is unchanged\n", failed.why.c_str());
        if (failure != nullptr) {
            *failure = failed;
        }
    }
    ::close(held);
    return done ? 0 : 1;
}

}  // namespace ctl
