// Where dorvanectl codes export may write: never over a file the service
// reads or writes (an export truncates its target before a line is
// written), and only into a regular file or a new one (a FIFO or a device
// would block or swallow the codes). One thread; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_TARGET_H
#define DORVANE_TOOLS_DORVANECTL_TARGET_H

#include <string>
#include <utility>
#include <vector>

#include "tools/dorvanectl/site.h"

namespace ctl {

// The files that the configuration at configPath (read as s) names, each
// with what it is ("the database", "the log file of appender TRAIL"...):
// the configuration itself, the database with its -journal and -wal, the
// pairing file, and each log file of the log keys with its rolled-over
// backups.
std::vector<std::pair<std::string, std::string>> siteFiles(const std::string& configPath,
                                                           const Settings& s);

// Opens path for writing an export: created (mode 0644) when missing,
// emptied when it is a regular file that is none of files. Returns the
// descriptor (the caller's), or -1 with *why ("is the database", "is not
// a regular file", strerror's text), having changed nothing. Never blocks.
int openExportTarget(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     std::string* why);

}  // namespace ctl

#endif
