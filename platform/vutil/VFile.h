// VFile (namespace vutil): the gate every file the project opens by path passes first.
//
// A path is read only when it names a regular file (after links are
// followed). The check opens the file with O_NONBLOCK, so a FIFO, a device
// or a socket at the path can never block the caller, and looks at the
// opened descriptor, so nothing can swap the file between check and read.
// A path is written (a log file) only when it names a regular file, the
// null device, or nothing yet in an existing directory; a FIFO or a device
// there is never opened. Every function is thread-safe and reports failure
// by its result; none throws.
#ifndef DORVANE_PLATFORM_VUTIL_VFILE_H
#define DORVANE_PLATFORM_VUTIL_VFILE_H

#include <cstddef>
#include <string>

namespace vutil {

// The most that readBounded reads of a configuration or pairing file.
constexpr size_t kMaxTextFile = 4 * 1024 * 1024;

// True when path names a regular file that this process may open for
// reading. Otherwise false, with *why (when not null) set to a short reason
// such as "no file name" (null or ""), "not a regular file" or strerror's
// text. The answer may be stale by the time the caller opens the path: use
// readBounded to read what was checked.
bool isRegularFile(const char* path, std::string* why);

// Reads the whole of path into *out when it is a regular file of at most
// maxBytes bytes (a file that grows past that while it is read counts as
// larger). On failure returns false, leaves *out empty and sets *why (when
// not null) to a short reason ("larger than 4194304 bytes", ...). REQUIRES:
// out is not null. Note: it allocates (and zero-fills) maxBytes + 1 bytes
// for the read whatever the file's size, and trims *out afterwards.
bool readBounded(const char* path, size_t maxBytes, std::string* out, std::string* why);

// True when path may be written as a log file: it names a regular file or
// the null device (links followed), or nothing yet (not even a dangling
// link) in an existing directory. Otherwise false, with *why (when not
// null) set to a short reason ("a directory, not a regular file", "no such
// directory", ...). It looks without opening anything; use openAppend to
// open what was checked.
bool isLogTarget(const char* path, std::string* why);

// Opens path for appending (created with mode 0644 when missing, emptied
// first when truncate) when isLogTarget accepts it, and checks the opened
// descriptor again (opened with O_NONBLOCK, so a FIFO put there meanwhile
// cannot block). Returns the descriptor (close-on-exec, blocking), owned by
// the caller, or -1 with *why (when not null) set.
int openAppend(const char* path, bool truncate, std::string* why);

}  // namespace vutil

#endif
