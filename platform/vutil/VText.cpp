#include "VText.h"

#include <cstring>

namespace vtext {

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Writes the escaped form of c into buf (at least 5 bytes); returns its
// length (without the NUL).
size_t escapeChar(unsigned char c, char* buf) {
    static const char kHex[] = "0123456789abcdef";
    if (!isControl(c)) {
        buf[0] = static_cast<char>(c);
        buf[1] = '\0';
        return 1;
    }
    buf[0] = '\\';
    buf[1] = 'x';
    buf[2] = kHex[c >> 4];
    buf[3] = kHex[c & 0x0f];
    buf[4] = '\0';
    return 4;
}

}  // namespace

std::string escape(const char* text, size_t len) {
    std::string out;
    out.reserve(len);
    char buf[5];
    for (size_t i = 0; i < len; ++i) {
        out.append(buf, escapeChar(static_cast<unsigned char>(text[i]), buf));
    }
    return out;
}

std::string escape(const char* text) {
    return text == nullptr ? std::string() : escape(text, strlen(text));
}

const char* escapeInto(const char* text, char* out, size_t size) {
    if (size == 0) {
        return out;
    }
    size_t used = 0;
    char buf[5];
    for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
        size_t n = escapeChar(static_cast<unsigned char>(*p), buf);
        if (used + n >= size) {
            break;
        }
        memcpy(out + used, buf, n);
        used += n;
    }
    out[used] = '\0';
    return out;
}

}  // namespace vtext
