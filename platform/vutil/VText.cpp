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

// Controls (C0, DEL, C1) and the bidirectional controls.
bool mustEscape(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x061c || cp == 0x200e ||
           cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
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

}  // namespace vutil
