// VText (namespace vutil): makes text from files or the network safe to print.
//
// Scan codes, labels and reader names reach log lines, the journal, standard
// output and terminals. A control character in them could forge a log line
// or send an escape sequence to a terminal, and bytes that are not UTF-8
// make the journal store a line as binary data. So the text is read as UTF-8,
// strictly (no overlong forms, surrogates or code points past U+10FFFF), and
// each byte of what follows is written as \xHH (two lower-case hex digits):
//   - a byte that does not begin a valid, complete UTF-8 character (each
//     such byte on its own; the next byte is read afresh);
//   - the C0 controls (0x00-0x1f), DEL (0x7f) and the C1 controls
//     (U+0080-U+009F);
//   - the format characters (Unicode category Cf: the byte-order mark,
//     zero-width spaces and joiners, the soft hyphen, the bidirectional
//     controls...), which show nothing or reorder what a terminal shows, so
//     that two texts that look the same on a screen never differ unseen.
// Everything else, other UTF-8 text included, is written as it is; so is a
// backslash (so the form cannot be undone: a text may already hold "\x1b").
// Thread-safe; never throws except std::bad_alloc from std::string.
#ifndef DORVANE_PLATFORM_VUTIL_VTEXT_H
#define DORVANE_PLATFORM_VUTIL_VTEXT_H

#include <cstddef>
#include <string>

namespace vutil {

// The longest escaped form of one character: four bytes as \xHH each.
constexpr size_t kMaxEscapedChar = 16;

// The escaped form of text (null reads as ""). len bytes are taken when len
// is given, so embedded NULs show as \x00; then text REQUIRES len readable
// bytes (null only with len 0).
std::string escape(const char* text);
std::string escape(const char* text, size_t len);

// True when text holds no byte that escape would change (true for null).
bool isPrintable(const char* text);

// Escapes text (null reads as "") into out, which the caller owns, for
// code that must not allocate, such as a log line being built. REQUIRES: out
// has size bytes. Always NUL-terminated when size > 0 (size 0 writes
// nothing); the result is cut at a whole character (or a whole escape) when
// it does not fit. Returns out. Never allocates or throws.
const char* escapeInto(const char* text, char* out, size_t size);

// One step of escape, for callers that build their own form (quoting,
// cutting at a whole character): reads the character at the start of text
// (len bytes, REQUIRES len > 0), writes its escaped form to out (REQUIRES
// kMaxEscapedChar bytes; not NUL-terminated) and sets *outLen to its length.
// Returns how many bytes of text it took: 1 to 4.
size_t escapeNext(const char* text, size_t len, char* out, size_t* outLen);

// What a character is, for the rules on text a person types (typedTextFlaw).
enum eCharKind {
    CHAR_TEXT,             // shown as it is
    CHAR_SPACE,            // white space that shows as a gap (U+0020, U+00A0, U+2000...)
    CHAR_CONTROL,          // C0, DEL, C1
    CHAR_BYTE_ORDER_MARK,  // U+FEFF (a format character)
    CHAR_FORMAT,           // the other format characters (Unicode category Cf)
    CHAR_NOT_UTF8,         // a byte that begins no valid, complete UTF-8 character
};

// Reads the character at the start of text (len bytes, REQUIRES len > 0),
// sets *kind, and returns how many bytes it takes: 1 to 4 (1 for a byte
// that is not UTF-8). Everything but CHAR_TEXT and CHAR_SPACE is escaped.
size_t charKind(const char* text, size_t len, eCharKind* kind);

// Why text (len bytes) cannot be a name that people type and read, such as
// a scan code or a reader name, or "" when it can: the first character
// escape would change ("holds a control character (\x09)", "holds a
// byte-order mark (\xef\xbb\xbf)", "holds an invisible format character
// (...)", "holds bytes that are not UTF-8 (\xff)"), else white space at
// the start or the end ("begins with white space", "ends with white
// space"). A text that passes looks like what it is.
std::string typedTextFlaw(const char* text, size_t len);

}  // namespace vutil

#endif
