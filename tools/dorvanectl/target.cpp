#include "tools/dorvanectl/target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vlog/cLogFileAppender.h"
#include "vlog/cLogProperties.h"
#include "vutil/VFile.h"

namespace ctl {
namespace {

// The path a file at path would have once made: its directory's real path
// and its own name, so that two spellings of a file not there yet compare.
std::string spelled(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char* real = realpath(dir.c_str(), nullptr);
    std::string out = real != nullptr ? std::string(real) + "/" + path.substr(slash + 1) : path;
    free(real);
    return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> siteFiles(const std::string& configPath,
                                                           const Settings& s) {
    std::vector<std::pair<std::string, std::string>> files = {
        {configPath, "the configuration file"},
        {s.dblocal, "the database"},
        {s.dblocal + "-journal", "the database's journal"},
        {s.dblocal + "-wal", "the database's -wal file"},
        {s.ioPairFile, "the pairing file"}};
    std::string text;
    if (!vutil::readBounded(configPath.c_str(), vutil::kMaxTextFile, &text, nullptr)) {
        return files;  // no log keys can be read, so the service has none either
    }
    std::vector<cLogProperties::Appender> appenders;
    std::vector<cLogProperties::Category> categories;
    std::string ignored;
    // Whatever was read counts, also of a configuration the service would
    // refuse: a file named there is the site's, not an export's.
    (void)cLogProperties(text).read(&appenders, &categories, &ignored);
    for (const cLogProperties::Appender& a : appenders) {
        if (a.type != "FileAppender" && a.type != "RollingFileAppender" &&
            a.type != "DailyRollingFileAppender") {
            continue;
        }
        std::string what = "the log file of appender " + shown(a.name);
        files.emplace_back(a.fileName, what);
        if (a.type == "RollingFileAppender") {
            for (unsigned int i = 1; i <= a.maxBackupIndex; ++i) {
                files.emplace_back(cLogFileAppender::backupName(a.fileName, i, a.maxBackupIndex),
                                   "a rolled-over " + what.substr(4));
            }
        }
    }
    return files;
}

int openExportTarget(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     std::string* why) {
    struct stat target, st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // A file the service has not made yet (a journal, a log file) is
        // known by its name only; opening it would make it.
        for (const auto& f : files) {
            if (spelled(f.first) == spelled(path)) {
                *why = "is " + f.second;
                return -1;
            }
        }
    }
    // The gate opens without blocking and never opens a FIFO or a device;
    // what it opened is judged by its descriptor, so nothing can be swapped in.
    std::string refused;
    int fd = vutil::openAppend(path.c_str(), false, &refused);
    if (fd < 0) {
        *why = "cannot be written (" + refused + ")";
        return -1;
    }
    if (fstat(fd, &target) != 0 || !S_ISREG(target.st_mode)) {
        *why = "is not a regular file";
        ::close(fd);
        return -1;
    }
    for (const auto& f : files) {
        if (stat(f.first.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            *why = "is " + f.second;
            ::close(fd);
            return -1;
        }
    }
    if (ftruncate(fd, 0) != 0) {
        *why = std::string("cannot be emptied: ") + strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace ctl
