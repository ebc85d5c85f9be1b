#include "tools/dorvanectl/dbfile.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "codes_schema.h"
#include "src/settings.h"
#include "tools/dorvanectl/codes_check.h"
#include "tools/dorvanectl/site.h"

namespace ctl {

const char* const kCodesSchema = kCodesSchemaText;

namespace {

// The service user's identity, for permission checks.
struct Identity {
    uid_t uid;
    std::vector<gid_t> groups;  // the primary group first
};

bool serviceIdentity(Identity* id) {
    const struct passwd* pw = getpwnam(settings::kServiceUser);
    if (pw == nullptr) {
        return false;
    }
    id->uid = pw->pw_uid;
    int n = 64;
    id->groups.resize(static_cast<size_t>(n));
    if (getgrouplist(settings::kServiceUser, pw->pw_gid, id->groups.data(), &n) < 0) {
        id->groups.assign(1, pw->pw_gid);
    } else {
        id->groups.resize(static_cast<size_t>(n));
    }
    return true;
}

// True when the identity has the permission (4 read, 1 search) on st.
bool permits(const Identity& id, const struct stat& st, unsigned bit) {
    if (id.uid == 0) {
        return true;
    }
    if (st.st_uid == id.uid) {
        return (st.st_mode & (bit << 6)) != 0;
    }
    for (gid_t g : id.groups) {
        if (st.st_gid == g) {
            return (st.st_mode & (bit << 3)) != 0;
        }
    }
    return (st.st_mode & bit) != 0;
}

// True when this process may give a file group gid: it is its own
// group or one of its supplementary groups.
bool memberOf(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
    n = n > 0 ? getgroups(n, groups.data()) : 0;
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> serviceUserProblems(const std::string& path, std::string* unchecked) {
    std::vector<std::string> problems;
    Identity id;
    if (!serviceIdentity(&id)) {
        if (unchecked != nullptr) {
            *unchecked = std::string("there is no user ") + settings::kServiceUser +
                         " here: whether the service may read the database is not checked";
        }
        return problems;
    }
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        free(real);
        return problems;  // no file: said elsewhere
    }
    std::string file = real;
    free(real);
    const std::string user = settings::kServiceUser;
    for (size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
        std::string dir = file.substr(0, slash);
        struct stat st;
        if (stat(dir.c_str(), &st) == 0 && !permits(id, st, 1)) {
            problems.push_back("user " + user + " cannot search the directory " + shown(dir) +
                               ": the service cannot open the database");
        }
    }
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && !permits(id, st, 4)) {
        problems.push_back("user " + user + " cannot read " + shown(file) +
                           ": the service cannot open the database (give it mode 644, or "
                           "group " +
                           user + " with mode 640)");
    }
    return problems;
}

std::vector<std::string> journalProblems(const std::string& path) {
    std::vector<std::string> problems;
    struct stat st;
    if (stat((path + "-wal").c_str(), &st) == 0) {
        problems.push_back("a -wal file lies beside the database " + shown(path) +
                           ": SQLite would take it for the database's");
    }
    // The journal's state as the service's handler judges it: a writer at
    // work is no problem (the tool waits for its lock).
    std::string advice = journalAdvice(path, nullptr);
    if (!advice.empty()) {
        problems.push_back(advice);
    }
    return problems;
}

std::string schemaNote(const std::string& path) {
    // Both texts as SQLite keeps them, so that only the schema counts.
    auto codesSql = [](sqlite3* db, std::string* sql) {
        sqlite3_stmt* stmt = nullptr;
        bool found = false;
        if (sqlite3_prepare_v2(db,
                               "SELECT sql FROM sqlite_master WHERE type='table' AND name='codes'",
                               -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
            *sql = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            found = true;
        }
        sqlite3_finalize(stmt);
        return found;
    };
    sqlite3* live = nullptr;
    sqlite3* made = nullptr;
    std::string liveSql, madeSql;
    bool known = sqlite3_open_v2(path.c_str(), &live, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                 codesSql(live, &liveSql) &&
                 sqlite3_open_v2(":memory:", &made, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                 sqlite3_exec(made, kCodesSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
                 codesSql(made, &madeSql);
    sqlite3_close(live);
    sqlite3_close(made);
    if (!known || liveSql == madeSql) {
        return "";
    }
    return "table codes of " + shown(path) +
           " was not made by codes.sql: it may lack the checks that refuse codes the service "
           "never matches (dorvanectl checks what it writes; codes import makes it anew)";
}

bool ownNewDatabase(const std::string& path, std::string* done, std::string* why) {
    const struct group* gr = geteuid() == 0 ? getgrnam(settings::kServiceUser) : nullptr;
    mode_t mode = gr != nullptr ? 0640 : 0644;
    if (gr != nullptr && chown(path.c_str(), 0, gr->gr_gid) != 0) {
        *why = std::string("cannot give it to group ") + settings::kServiceUser + ": " +
               strerror(errno);
        return false;
    }
    if (chmod(path.c_str(), mode) != 0) {
        *why = std::string("cannot set its mode: ") + strerror(errno);
        return false;
    }
    char text[160];
    if (gr != nullptr) {
        snprintf(text, sizeof(text), "owned by root:%s, mode 640", settings::kServiceUser);
    } else {
        snprintf(text, sizeof(text), "mode 644, owned by %s (uid %u)",
                 geteuid() == 0 ? "root" : "you", static_cast<unsigned>(geteuid()));
    }
    *done = text;
    return true;
}

bool ownLike(const std::string& path, const std::string& like, std::string* done,
             std::string* why) {
    struct stat st;
    if (stat(like.c_str(), &st) != 0) {
        *why = "cannot stat " + shown(like) + ": " + strerror(errno);
        return false;
    }
    mode_t mode = st.st_mode & 07777;
    bool root = geteuid() == 0;
    // Without root, the old file's group can still be kept when this user
    // belongs to it (a site's operators' group, say).
    bool group = !root && memberOf(st.st_gid);
    if ((root && chown(path.c_str(), st.st_uid, st.st_gid) != 0) ||
        (group && chown(path.c_str(), static_cast<uid_t>(-1), st.st_gid) != 0) ||
        chmod(path.c_str(), mode) != 0) {
        *why = std::string("cannot give it the old file's mode and owner: ") + strerror(errno);
        return false;
    }
    char text[240];
    if (root) {
        snprintf(text, sizeof(text), "mode %03o and owner %u:%u kept", static_cast<unsigned>(mode),
                 static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
    } else {
        snprintf(text, sizeof(text),
                 "mode %03o%s kept; the owner is you (uid %u; the old file's was %u:%u; run as "
                 "root to keep it)",
                 static_cast<unsigned>(mode), group ? " and group" : "",
                 static_cast<unsigned>(geteuid()), static_cast<unsigned>(st.st_uid),
                 static_cast<unsigned>(st.st_gid));
    }
    *done = text;
    return true;
}

}  // namespace ctl
