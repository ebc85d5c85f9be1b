#include "bench/bench_site.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/support/loopback.h"

namespace bench {

namespace {

void writePairs(const std::string& path) {
    std::ofstream pairs(path);
    pairs << "<scl_connections>\n";
    for (int r = 0; r < kReaders; ++r) {
        pairs << "<Reader name=\"R" << r << "\"><IOlabel value=\"" << outputLabel(r % kOutputs)
              << "\"/><LEDlabel value=\"" << outputLabel((r + 1) % kOutputs) << "\"/></Reader>\n";
    }
    pairs << "</scl_connections>\n";
}

void writeCodes(const std::string& db, int codes) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;"
                 "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO codes VALUES (?, ?)", -1, &st, nullptr);
    for (int i = 0; i < codes; ++i) {
        std::string c = code(i), r = "R" + std::to_string(i % kReaders);
        sqlite3_bind_text(st, 1, c.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, r.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(h, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(h);
}

}  // namespace

std::string outputLabel(int i) {
    return "OUT_" + std::to_string(i);
}

std::string code(int i) {
    char b[16];
    snprintf(b, sizeof(b), "C%07d", i);
    return b;
}

void makeSite(const std::string& dir, int codes, const std::string& priority,
              const std::string& extraConf) {
    writePairs(dir + "/pairs.xml");
    std::ofstream conf(dir + "/dorvane.conf");
    conf << "host=" << testutil::loopbackAddress(0) << "\nioPairFile=pairs.xml\ndblocal=access.db\n"
         << "log4cpp.rootCategory=" << priority << ", F\n"
         << "log4cpp.appender.F=FileAppender\nlog4cpp.appender.F.fileName=service.log\n"
         << "log4cpp.appender.F.layout=PatternLayout\n"
         << "log4cpp.appender.F.layout.ConversionPattern=%d %p %c: %m%n\n"
         << extraConf;
    std::string db = dir + "/access.db";
    if (access(db.c_str(), F_OK) != 0) {
        writeCodes(db, codes);
    }
}

}  // namespace bench
