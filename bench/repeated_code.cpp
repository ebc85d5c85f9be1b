#include "bench/repeated_code.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "src/pAccess.h"
#include "vdb/DatabaseHandler.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return -1;
}

double medianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void build(const std::string& path, int rows) {
    unlink(path.c_str());
    sqlite3* h = nullptr;
    sqlite3_open(path.c_str(), &h);
    sqlite3_exec(h,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;"
                 "CREATE TABLE codes (sc TEXT, reader TEXT); CREATE INDEX codes_sc ON codes (sc);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO codes VALUES ('04A1', 'Door1')", -1, &st, nullptr);
    for (int i = 0; i < rows; ++i) {
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(h, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(h);
}

// SQLite alone: the same SELECT stepped to its end.
double bareStepMs(const std::string& path, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr);
    sqlite3_bind_text(st, 1, "04A1", -1, SQLITE_STATIC);
    auto t0 = Clock::now();
    while (sqlite3_step(st) == SQLITE_ROW) {
        sqlite3_column_text(st, 0);
        sqlite3_column_text(st, 1);
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    sqlite3_finalize(st);
    sqlite3_close(h);
    return ms;
}

}  // namespace

RepeatedCodeResult measureRepeatedCode(const std::string& dir, int rows, int runs) {
    std::string path = dir + "/repeated.db";
    build(path, rows);
    pAccess query;
    query.setScanCode("04A1");
    std::string sql = DatabaseHandler::lookupSql(&query);
    std::vector<double> lookups, bare;
    long peakBefore = peakKb();
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    for (int i = 0; i < runs; ++i) {
        TableData* result = nullptr;
        auto t0 = Clock::now();
        int found = db.Find(&query, &result);
        lookups.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (found != 1) {
            fprintf(stderr, "repeated code: the lookup found %d rows, not 1\n", found);
        }
        if (result != nullptr) {
            result->free();
        }
        bare.push_back(bareStepMs(path, sql));
    }
    RepeatedCodeResult r{rows, medianMs(lookups), medianMs(bare), peakKb() - peakBefore};
    printf(
        "one code stored %d times: lookup %.2f ms, SQLite stepping alone %.2f ms, peak RSS +%ld "
        "KiB\n",
        r.rows, r.lookupMs, r.sqliteMs, r.peakGrowKb);
    unlink(path.c_str());
    return r;
}

void writeRepeatedCode(const RepeatedCodeResult& r, std::ostream& json) {
    json << "  ,\"repeated_code\": {\"rows\": " << r.rows << ", \"lookup_ms\": " << r.lookupMs
         << ", \"sqlite_ms\": " << r.sqliteMs << ", \"peak_rss_growth_kib\": " << r.peakGrowKb
         << "}\n";
}
