#include "vutil/VText.h"

#include <cstdint>
#include <cstring>

namespace vutil {

namespace {

bool isContinuation(unsigned char c) {
    return (c & 0xc0) == 0x80;
}

// The length of the valid UTF-8 character at the start of s (len > 0
// bytes), with its code point in *cp; 0 when s does not start with one.
size_t decodeUtf8(const unsigned char* s, size_t len, uint32_t* cp) {
    unsigned char c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf;  // the bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        *cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        *cp = c & 0x0f;
        lo = c == 0xe0 ? 0xa0 : 0x80;  // no overlong form
        hi = c == 0xed ? 0x9f : 0xbf;  // no surrogate
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        *cp = c & 0x07;
        lo = c == 0xf0 ? 0x90 : 0x80;  // no overlong form
        hi = c == 0xf4 ? 0x8f : 0xbf;  // nothing past U+10FFFF
    } else {
        return 0;  // a continuation byte, 0xc0, 0xc1 or 0xf5 and above
    }
    if (len < n || s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if (!isContinuation(s[i])) {
            return 0;
        }
        *cp = (*cp << 6) | (s[i] & 0x3f);
    }
    return n;
}

bool isControl(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f);
}

// Unicode's format characters (general category Cf, Unicode 15): they show
// nothing, or reorder what a terminal shows (the bidirectional controls).
bool isFormat(uint32_t cp) {
    static const uint32_t kRanges[][2] = {
        {0x00ad, 0x00ad},   {0x0600, 0x0605},   {0x061c, 0x061c},   {0x06dd, 0x06dd},
        {0x070f, 0x070f},   {0x0890, 0x0891},   {0x08e2, 0x08e2},   {0x180e, 0x180e},
        {0x200b, 0x200f},   {0x202a, 0x202e},   {0x2060, 0x2064},   {0x2066, 0x206f},
        {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd}, {0x110cd, 0x110cd},
        {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001},
        {0xe0020, 0xe007f}};
    for (const auto& r : kRanges) {
        if (cp >= r[0] && cp <= r[1]) {
            return true;
        }
    }
    return false;
}

// Unicode's White_Space characters that are not controls.
bool isSpace(uint32_t cp) {
    return cp == 0x20 || cp == 0xa0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202f || cp == 0x205f || cp == 0x3000;
}

bool mustEscape(uint32_t cp) {
    return isControl(cp) || isFormat(cp);
}

}  // namespace

size_t escapeNext(const char* text, size_t len, char* out, size_t* outLen) {
    static const char kHex[] = "0123456789abcdef";
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    uint32_t cp = 0;
    size_t n = decodeUtf8(s, len, &cp);
    if (n > 0 && !mustEscape(cp)) {
        memcpy(out, text, n);
        *outLen = n;
        return n;
    }
    size_t taken = n > 0 ? n : 1;  // an invalid byte alone
    for (size_t i = 0; i < taken; ++i) {
        out[4 * i] = '\\';
        out[4 * i + 1] = 'x';
        out[4 * i + 2] = kHex[s[i] >> 4];
        out[4 * i + 3] = kHex[s[i] & 0x0f];
    }
    *outLen = 4 * taken;
    return taken;
}

std::string escape(const char* text, size_t len) {
    std::string out;
    out.reserve(len);
    char buf[kMaxEscapedChar];
    for (size_t i = 0; i < len;) {
        size_t n;
        i += escapeNext(text + i, len - i, buf, &n);
        out.append(buf, n);
    }
    return out;
}

std::string escape(const char* text) {
    return text == nullptr ? std::string() : escape(text, strlen(text));
}

bool isPrintable(const char* text) {
    size_t len = text == nullptr ? 0 : strlen(text);
    char buf[kMaxEscapedChar];
    for (size_t i = 0; i < len;) {
        size_t n;
        size_t taken = escapeNext(text + i, len - i, buf, &n);
        if (n != taken) {
            return false;  // every escape is longer than what it stands for
        }
        i += taken;
    }
    return true;
}

const char* escapeInto(const char* text, char* out, size_t size) {
    if (size == 0) {
        return out;
    }
    size_t len = text == nullptr ? 0 : strlen(text);
    size_t used = 0;
    char buf[kMaxEscapedChar];
    for (size_t i = 0; i < len;) {
        size_t n;
        i += escapeNext(text + i, len - i, buf, &n);
        if (used + n >= size) {
            break;
        }
        memcpy(out + used, buf, n);
        used += n;
    }
    out[used] = '\0';
    return out;
}

size_t charKind(const char* text, size_t len, eCharKind* kind) {
    uint32_t cp = 0;
    size_t n = decodeUtf8(reinterpret_cast<const unsigned char*>(text), len, &cp);
    if (n == 0) {
        *kind = CHAR_NOT_UTF8;
        return 1;
    }
    *kind = isControl(cp)  ? CHAR_CONTROL
            : cp == 0xfeff ? CHAR_BYTE_ORDER_MARK
            : isFormat(cp) ? CHAR_FORMAT
            : isSpace(cp)  ? CHAR_SPACE
                           : CHAR_TEXT;
    return n;
}

std::string typedTextFlaw(const char* text, size_t len) {
    static const char* const kWhat[] = {"",
                                        "",
                                        "holds a control character",
                                        "holds a byte-order mark",
                                        "holds an invisible format character",
                                        "holds bytes that are not UTF-8"};
    eCharKind kind = CHAR_TEXT;
    bool spaceFirst = false;
    for (size_t i = 0; i < len;) {
        size_t n = charKind(text + i, len - i, &kind);
        if (kind != CHAR_TEXT && kind != CHAR_SPACE) {
            return std::string(kWhat[kind]) + " (" + escape(text + i, n) + ")";
        }
        spaceFirst = spaceFirst || (i == 0 && kind == CHAR_SPACE);
        i += n;
    }
    if (spaceFirst) {
        return "begins with white space";
    }
    return kind == CHAR_SPACE ? "ends with white space" : "";
}

}  // namespace vutil
