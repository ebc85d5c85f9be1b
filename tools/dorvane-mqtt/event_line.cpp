#include "tools/dorvane-mqtt/event_line.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "vutil/VText.h"

namespace mqttlink {

namespace {

// A strict JSON reader over one line: objects, arrays, strings, numbers,
// true/false/null, nested at most kMaxDepth deep.
class Reader {
public:
    explicit Reader(const std::string& text) : mText(text), mPos(0) {}

    bool atEnd() {
        skipSpace();
        return mPos == mText.size();
    }

    // Reads one value; when raw is not null it receives the value's bytes
    // (a string without its quotes, undecoded).
    bool value(int depth, std::string* raw, char* kind) {
        skipSpace();
        if (mPos >= mText.size() || depth > kMaxDepth) {
            return false;
        }
        char c = mText[mPos];
        size_t begin = mPos;
        bool ok = false;
        if (c == '{') {
            ok = object(depth + 1, nullptr);
        } else if (c == '[') {
            ok = array(depth + 1);
        } else if (c == '"') {
            ok = string(raw);
            begin = mPos;  // raw already set
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            ok = number();
        } else {
            ok = literal("true") || literal("false") || literal("null");
        }
        if (kind != nullptr) {
            *kind = c;
        }
        if (ok && raw != nullptr && c != '"') {
            raw->assign(mText, begin, mPos - begin);
        }
        return ok;
    }

    // An object; for the outermost, each member's raw value and kind is
    // handed to visit.
    using Visit = std::function<bool(const std::string&, const std::string&, char)>;

    bool object(int depth, const Visit* visit) {
        ++mPos;  // '{'
        skipSpace();
        if (peek('}')) {
            ++mPos;
            return true;
        }
        for (;;) {
            skipSpace();
            std::string key;
            if (!peek('"') || !string(&key)) {
                return false;
            }
            skipSpace();
            if (!peek(':')) {
                return false;
            }
            ++mPos;
            std::string raw;
            char kind = 0;
            if (!value(depth, visit != nullptr ? &raw : nullptr, &kind)) {
                return false;
            }
            if (visit != nullptr && !(*visit)(key, raw, kind)) {
                return false;
            }
            skipSpace();
            if (peek(',')) {
                ++mPos;
                continue;
            }
            if (peek('}')) {
                ++mPos;
                return true;
            }
            return false;
        }
    }

    bool peek(char c) const { return mPos < mText.size() && mText[mPos] == c; }

private:
    static constexpr int kMaxDepth = 16;

    void skipSpace() {
        while (mPos < mText.size() && (mText[mPos] == ' ' || mText[mPos] == '\t' ||
                                       mText[mPos] == '\r' || mText[mPos] == '\n')) {
            ++mPos;
        }
    }

    bool array(int depth) {
        ++mPos;  // '['
        skipSpace();
        if (peek(']')) {
            ++mPos;
            return true;
        }
        for (;;) {
            if (!value(depth, nullptr, nullptr)) {
                return false;
            }
            skipSpace();
            if (peek(',')) {
                ++mPos;
                continue;
            }
            if (peek(']')) {
                ++mPos;
                return true;
            }
            return false;
        }
    }

    static bool isHex(char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    // A string whose bytes are valid UTF-8 (checked as the project's escape
    // does: printable text passes unchanged) and whose escapes are JSON's.
    bool string(std::string* raw) {
        size_t begin = ++mPos;
        while (mPos < mText.size()) {
            unsigned char c = static_cast<unsigned char>(mText[mPos]);
            if (c == '"') {
                if (raw != nullptr) {
                    raw->assign(mText, begin, mPos - begin);
                }
                ++mPos;
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (mPos + 1 >= mText.size()) {
                    return false;
                }
                char e = mText[mPos + 1];
                if (e == 'u') {
                    if (mPos + 6 > mText.size()) {
                        return false;
                    }
                    for (size_t i = 2; i < 6; ++i) {
                        if (!isHex(mText[mPos + i])) {
                            return false;
                        }
                    }
                    mPos += 6;
                    continue;
                }
                if (strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
                    return false;
                }
                mPos += 2;
                continue;
            }
            if (c >= 0x80) {
                size_t len = utf8Length(mPos);
                if (len == 0) {
                    return false;
                }
                mPos += len;
                continue;
            }
            ++mPos;
        }
        return false;
    }

    // The length of the well-formed UTF-8 character at pos, 0 when none.
    size_t utf8Length(size_t pos) const {
        unsigned char c = static_cast<unsigned char>(mText[pos]);
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (len == 0 || c > 0xF4 || pos + len > mText.size()) {
            return 0;
        }
        uint32_t cp = c & (0x7F >> len);
        for (size_t i = 1; i < len; ++i) {
            unsigned char t = static_cast<unsigned char>(mText[pos + i]);
            if ((t & 0xC0) != 0x80) {
                return 0;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return 0;
        }
        return len;
    }

    bool digits() {
        size_t begin = mPos;
        while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') {
            ++mPos;
        }
        return mPos > begin;
    }

    bool number() {
        if (peek('-')) {
            ++mPos;
        }
        if (peek('0')) {
            ++mPos;
        } else if (!digits()) {
            return false;
        }
        if (peek('.')) {
            ++mPos;
            if (!digits()) {
                return false;
            }
        }
        if (peek('e') || peek('E')) {
            ++mPos;
            if (peek('+') || peek('-')) {
                ++mPos;
            }
            if (!digits()) {
                return false;
            }
        }
        return true;
    }

    bool literal(const char* word) {
        size_t len = strlen(word);
        if (mText.compare(mPos, len, word) != 0) {
            return false;
        }
        mPos += len;
        return true;
    }

    const std::string& mText;
    size_t mPos;
};

bool parseCount(const std::string& raw, uint64_t* out) {
    if (raw.empty() || raw.size() > 19 || (raw.size() > 1 && raw[0] == '0')) {
        return false;
    }
    uint64_t value = 0;
    for (char c : raw) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = value;
    return true;
}

}  // namespace

bool parseEventId(const std::string& text, EventId* id) {
    size_t dash = text.find('-');
    if (dash != 16) {
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    uint64_t number = 0;
    if (!parseCount(text.substr(17), &number) || number == 0) {
        return false;
    }
    id->start = text.substr(0, 16);
    id->number = number;
    return true;
}

bool parseEventLine(const std::string& line, EventLine* out) {
    Reader reader(line);
    if (!reader.atEnd() && !reader.peek('{')) {
        return false;
    }
    EventLine event;
    bool version = false;
    bool hasCount = false;
    bool badMember = false;
    Reader::Visit visit = [&](const std::string& key, const std::string& raw, char kind) {
        auto text = [&](std::string* field) {
            // The members the link reads hold no escapes: ids, words, times.
            if (kind != '"' || raw.find('\\') != std::string::npos) {
                badMember = true;
            } else {
                *field = raw;
            }
        };
        if (key == "v") {
            version = raw == "1";
        } else if (key == "type") {
            text(&event.type);
        } else if (key == "id") {
            text(&event.id);
        } else if (key == "time") {
            text(&event.time);
        } else if (key == "reason") {
            text(&event.reason);
        } else if (key == "count") {
            hasCount = parseCount(raw, &event.count);
        } else if (key == "of") {
            text(&event.of);
        } else if ((key == "first" || key == "last") && raw != "null") {
            text(key == "first" ? &event.first : &event.last);
        }
        return true;
    };
    if (reader.atEnd() || !reader.object(1, &visit) || !reader.atEnd() || badMember || !version ||
        event.type.empty() || event.time.empty() || !parseEventId(event.id, &event.parsedId)) {
        return false;
    }
    if (event.type == "lost" && (event.reason.empty() || !hasCount)) {
        return false;
    }
    *out = event;
    return true;
}

std::string jsonString(const std::string& text) {
    std::string printable = vutil::escape(text.data(), text.size());
    std::string out = "\"";
    for (char c : printable) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string nowRfc3339() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
             static_cast<long>(now.tv_nsec / 1000));
    return text;
}

}  // namespace mqttlink
