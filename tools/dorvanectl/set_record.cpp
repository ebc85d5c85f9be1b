#include "tools/dorvanectl/set_record.h"

#include <sqlite3.h>

#include <string>

namespace ctl {
namespace {

const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS code_set (version INTEGER NOT NULL, sha256 TEXT NOT NULL, "
    "mark INTEGER NOT NULL)";

bool hasTable(sqlite3* db, const char* schema, bool* has, std::string* why) {
    std::string sql = std::string("SELECT count(*) FROM ") + schema +
                      ".sqlite_master WHERE type = 'table' AND name = 'code_set'";
    sqlite3_stmt* stmt = nullptr;
    bool ok = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
              sqlite3_step(stmt) == SQLITE_ROW;
    if (ok) {
        *has = sqlite3_column_int(stmt, 0) > 0;
    } else {
        *why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
    return ok;
}

}  // namespace

bool readSetRecord(const std::string& path, SetRecord* r, std::string* why) {
    *r = SetRecord();
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, writeBusyTimeoutMs());
        ok = hasTable(db, "main", &r->present, why);
    } else {
        *why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    }
    sqlite3_stmt* stmt = nullptr;
    if (ok && r->present) {
        ok = sqlite3_prepare_v2(db, "SELECT version, sha256, mark FROM code_set LIMIT 1", -1, &stmt,
                                nullptr) == SQLITE_OK;
        int step = ok ? sqlite3_step(stmt) : SQLITE_ERROR;
        if (step == SQLITE_ROW) {
            r->version = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
            const unsigned char* sha = sqlite3_column_text(stmt, 1);
            r->sha256 = sha != nullptr ? reinterpret_cast<const char*>(sha) : "";
            r->mark = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
        } else if (step != SQLITE_DONE) {
            *why = sqlite3_errmsg(db);
            ok = false;
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return ok;
}

bool writeSignedRecord(Writer& w, uint64_t version, const std::string& sha256, std::string* why) {
    if (!w.exec(kCreate, why)) {
        return false;
    }
    std::string v = std::to_string(version);
    // The mark never goes down, even when a record said more than this set.
    return w.run("UPDATE code_set SET mark = max(mark, CAST(?1 AS INTEGER))", {v}, why) >= 0 &&
           w.run(
               "INSERT INTO code_set (version, sha256, mark) SELECT CAST(?1 AS INTEGER), ?2, "
               "CAST(?1 AS INTEGER) WHERE NOT EXISTS (SELECT 1 FROM code_set)",
               {v, sha256}, why) >= 0 &&
           w.run("UPDATE code_set SET version = CAST(?1 AS INTEGER), sha256 = ?2", {v, sha256},
                 why) >= 0;
}

bool markByHand(Writer& w, std::string* why) {
    bool has = false;
    if (!hasTable(w.db(), "main", &has, why)) {
        return false;
    }
    return !has || w.run("UPDATE code_set SET version = 0, sha256 = ''", {}, why) >= 0;
}

std::string describeRecord(const SetRecord& r) {
    if (!r.present || (r.version == 0 && r.mark == 0)) {
        return "by hand";
    }
    if (r.version == 0) {
        return "by hand, after version " + std::to_string(r.mark);
    }
    return "version " + std::to_string(r.version) + " (sha256 " + r.sha256 + "), mark " +
           std::to_string(r.mark);
}

}  // namespace ctl
