#include "tools/dorvanectl/codes_check.h"

#include <map>

#include "src/pAccess.h"
#include "vutil/VText.h"

std::vector<AmbiguousCode> ambiguousCodes(
    const std::vector<std::vector<DatabaseHandler::StoredValue>>& rows) {
    // The rows of each code a scan can match, as the lookup would find them.
    std::map<std::string, std::vector<std::vector<DatabaseHandler::StoredValue>>> byCode;
    std::vector<std::string> order;
    for (const auto& row : rows) {
        if (row.size() != 2 || pAccess::refusal("sc", row[0].type, row[0].bytes) != nullptr) {
            continue;
        }
        auto& same = byCode[row[0].bytes];
        if (same.empty()) {
            order.push_back(row[0].bytes);
        }
        same.push_back(row);
    }
    std::vector<AmbiguousCode> found;
    for (const std::string& code : order) {
        const auto& same = byCode[code];
        if (DatabaseHandler::classifyRows(same) != DatabaseHandler::ROWS_AMBIGUOUS) {
            continue;
        }
        AmbiguousCode a{vutil::escape(code.data(), code.size()), {}};
        std::vector<std::vector<DatabaseHandler::StoredValue>> seen;
        for (const auto& row : same) {
            bool isNew = true;
            for (const auto& s : seen) {
                isNew = isNew && !DatabaseHandler::sameAnswer(s, row);
            }
            if (isNew) {
                seen.push_back(row);
                a.readers.push_back(vutil::escape(row[1].bytes.data(), row[1].bytes.size()));
            }
        }
        found.push_back(a);
    }
    return found;
}

std::string readerList(const AmbiguousCode& code) {
    std::string list;
    for (const std::string& r : code.readers) {
        list += (list.empty() ? "\"" : ", \"") + r + "\"";
    }
    return list;
}

std::string walRemedy(const std::string& path) {
    // The service may hold a WAL database open (running as root): the mode
    // can be changed only while it is stopped.
    return "systemctl stop dorvane && sqlite3 " + path +
           " 'PRAGMA journal_mode=DELETE' && systemctl start dorvane (without systemd: "
           "/etc/init.d/dorvane stop, then start)";
}

std::string journalAdvice(const std::string& path, bool* stops) {
    DatabaseHandler::eJournalState state = DatabaseHandler::journalState(path);
    if (stops != nullptr) {
        *stops = state == DatabaseHandler::JOURNAL_HOT;
    }
    std::string shown = vutil::escape(path.data(), path.size());
    if (state == DatabaseHandler::JOURNAL_HOT) {
        return "database " + shown +
               " cannot be read: " + vutil::escape(DatabaseHandler::hotJournalRemedy(path).c_str());
    }
    if (state == DatabaseHandler::JOURNAL_WAL) {
        return "database " + shown +
               " is in WAL mode, which the service reads only when it may create the -shm file "
               "beside it; to keep rollback-journal mode: " +
               walRemedy(shown);
    }
    return "";
}

std::set<std::string> checkCodeRows(
    const std::vector<std::vector<DatabaseHandler::StoredValue>>& rows,
    const std::function<void(const std::string&)>& problem) {
    std::set<std::string> ambiguous;
    for (const AmbiguousCode& a : ambiguousCodes(rows)) {
        problem("code " + a.code + " is stored for more than one reader (" + readerList(a) +
                "): a scan opens nothing");
        ambiguous.insert(a.code);
    }
    return ambiguous;
}
