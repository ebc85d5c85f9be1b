// vtext: makes text from files or the network safe to print.
//
// Scan codes, labels and reader names reach log lines, standard output and
// terminals. A control character in them could forge a log line or send an
// escape sequence to a terminal, so every byte below 0x20 and 0x7f is
// written as \xHH (two lower-case hex digits), and a backslash as itself
// (so the form cannot be undone: a text may already hold "\x1b").
// Printable text, spaces and bytes of 0x80 and above (UTF-8) are unchanged.
// Thread-safe; never throws except std::bad_alloc from std::string.
#ifndef DORVANE_PLATFORM_VUTIL_VTEXT_H
#define DORVANE_PLATFORM_VUTIL_VTEXT_H

#include <cstddef>
#include <string>

namespace vtext {

// The escaped form of text (null reads as ""). len bytes are taken when len
// is given, so embedded NULs show as \x00; then text REQUIRES len readable
// bytes (null only with len 0).
std::string escape(const char* text);
std::string escape(const char* text, size_t len);

// Escapes text (null reads as "") into out, which the caller owns, for
// code that must not allocate, such as a log line being built. REQUIRES: out
// has size bytes. Always NUL-terminated when size > 0 (size 0 writes
// nothing); the result is cut at a whole escape when it does not fit.
// Returns out. Never allocates or throws.
const char* escapeInto(const char* text, char* out, size_t size);

}  // namespace vtext

#endif
