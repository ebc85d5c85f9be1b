// cProperties: reads a key=value file into memory and answers lookups.
//
// Lines are handled one by one: text from the first "#" on is a comment,
// the key is the text before the first "=", the value all after it; nothing
// is trimmed (a CRLF file leaves "\r" at the end of each value) and the first
// line that gives a key wins. A NUL byte ends its line: the rest is dropped.
// A line longer than 255 bytes is skipped with a line on standard output;
// the lines after it are still read. A UTF-8 byte-order mark at the start of
// the file is skipped. The file must be a regular file of at most
// vutil::kMaxTextFile bytes; it is checked without blocking (a FIFO or a
// device is refused, never read).
// Not thread-safe: load must not run while another thread looks up; lookups
// alone may run on several threads at once. Nothing throws but
// std::bad_alloc.
#ifndef DORVANE_SRC_PROPERTIES_H
#define DORVANE_SRC_PROPERTIES_H

#include <map>
#include <string>
#include <vector>

class cProperties {
public:
    enum { MAX_LINE = 255 };

    // Replaces the map with the entries of file_name. Returns false, prints
    // "Failed to load input file <name>: <why>" and keeps the map when the
    // file cannot be read (missing, not a regular file, too large); true
    // otherwise, whatever its lines held. REQUIRES: file_name is not null.
    bool load(const char* file_name);

    // The stored value of key, owned by this object and valid until the next
    // load that opens its file; defval itself when key is not stored.
    // REQUIRES: key is not null.
    const char* getString(const char* key, const char* defval) const;

    // The stored value read as strtol(value, nullptr, 10) clamped to a
    // 32-bit int; defval when key is not stored. Note: a stored value that is
    // not a number reads as 0, not as defval. REQUIRES: key is not null.
    int getInt(const char* key, int defval) const;

    // The stored keys in byte order, for a reader that refuses keys it does
    // not know.
    std::vector<std::string> keys() const;

private:
    void addLine(const std::string& line);  // one line, without its newline

    std::map<std::string, std::string> mPropsMap;
};

#endif
