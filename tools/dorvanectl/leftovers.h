// The new files that codes import builds beside the database
// (".access.db.new-PID" and its -journal), and what is left of them by an
// import that was killed. An import holds an exclusive flock on its own new
// file for as long as it works, so whether an import still runs is told by
// that lock alone, never by its process id (ids are reused, and differ
// between namespaces). One thread; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_LEFTOVERS_H
#define DORVANE_TOOLS_DORVANECTL_LEFTOVERS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace ctl {

// One import file beside the database.
struct ImportFile {
    std::string path;
    off_t bytes;
    bool atWork;  // an import holds its lock: it runs
};

// The import files beside the database at live (a real path: no link), in
// directory order; a -journal is at work when its new file is.
std::vector<ImportFile> importFiles(const std::string& live);

// Creates the new file of this import beside live ("." + name + ".new-" +
// pid, mode 0600) and takes its lock, which the returned descriptor holds
// until it is closed (the caller's, after the rename or the removal of the
// file). -1 with *why when it cannot.
int createImportFile(const std::string& live, std::string* next, std::string* why);

// Removes the import files beside live whose import no longer runs; returns
// their paths. A file whose import holds its lock is left alone.
std::vector<std::string> removeLeftovers(const std::string& live);

}  // namespace ctl

#endif
