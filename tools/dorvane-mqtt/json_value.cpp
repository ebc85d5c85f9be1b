#include "tools/dorvane-mqtt/json_value.h"

#include <cstring>

namespace mqttlink {

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : mText(text), mPos(0) {}

    bool document(JsonValue* out) { return value(0, out) && (skipSpace(), mPos == mText.size()); }

private:
    bool value(int depth, JsonValue* out) {
        skipSpace();
        if (mPos >= mText.size() || depth > kMaxJsonDepth) {
            return false;
        }
        char c = mText[mPos];
        if (c == '{') {
            out->kind = JsonValue::OBJECT;
            return object(depth + 1, out);
        }
        if (c == '[') {
            out->kind = JsonValue::ARRAY;
            return array(depth + 1, out);
        }
        if (c == '"') {
            out->kind = JsonValue::STRING;
            return string(&out->text, &out->escaped);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            out->kind = JsonValue::NUMBER;
            size_t begin = mPos;
            if (!number()) {
                return false;
            }
            out->text.assign(mText, begin, mPos - begin);
            return true;
        }
        for (const char* word : {"true", "false", "null"}) {
            size_t len = strlen(word);
            if (mText.compare(mPos, len, word) == 0) {
                mPos += len;
                out->kind = word[0] == 'n' ? JsonValue::NUL : JsonValue::BOOL;
                out->text = word[0] == 'n' ? "" : word;
                return true;
            }
        }
        return false;
    }

    bool object(int depth, JsonValue* out) {
        ++mPos;  // '{'
        skipSpace();
        if (eat('}')) {
            return true;
        }
        for (;;) {
            skipSpace();
            std::string key;
            bool escaped = false;
            if (!peek('"') || !string(&key, &escaped)) {
                return false;
            }
            if (out->members.size() >= kMaxJsonMembers || out->member(key) != nullptr) {
                return false;  // a duplicate (which one a reader takes is not defined), or too many
            }
            skipSpace();
            if (!eat(':')) {
                return false;
            }
            out->members.emplace_back(key, JsonValue());
            if (!value(depth, &out->members.back().second)) {
                return false;
            }
            skipSpace();
            if (eat(',')) {
                continue;
            }
            return eat('}');
        }
    }

    bool array(int depth, JsonValue* out) {
        ++mPos;  // '['
        skipSpace();
        if (eat(']')) {
            return true;
        }
        for (;;) {
            out->items.emplace_back();
            if (!value(depth, &out->items.back())) {
                return false;
            }
            skipSpace();
            if (eat(',')) {
                continue;
            }
            return eat(']');
        }
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool hex4(uint32_t* out) {
        if (mPos + 4 > mText.size()) {
            return false;
        }
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) {
            int h = hexValue(mText[mPos + i]);
            if (h < 0) {
                return false;
            }
            v = (v << 4) | static_cast<uint32_t>(h);
        }
        mPos += 4;
        *out = v;
        return true;
    }

    static void putUtf8(uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // \uXXXX, with a surrogate pair as one character; a lone half is refused.
    bool unicodeEscape(std::string* out) {
        uint32_t cp = 0;
        if (!hex4(&cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) {
            return false;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (mText.compare(mPos, 2, "\\u") != 0) {
                return false;
            }
            mPos += 2;
            if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        putUtf8(cp, out);
        return true;
    }

    // *escaped is set when the string holds an escape (else left alone).
    bool string(std::string* out, bool* escaped) {
        ++mPos;  // '"'
        out->clear();
        while (mPos < mText.size()) {
            unsigned char c = static_cast<unsigned char>(mText[mPos]);
            if (c == '"') {
                ++mPos;
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                *escaped = true;
                if (++mPos >= mText.size()) {
                    return false;
                }
                char e = mText[mPos++];
                const char* from = "\"\\/bfnrt";
                const char* to = "\"\\/\b\f\n\r\t";
                const char* at = e != '\0' ? strchr(from, e) : nullptr;
                if (e == 'u') {
                    if (!unicodeEscape(out)) {
                        return false;
                    }
                } else if (at != nullptr) {
                    *out += to[at - from];
                } else {
                    return false;
                }
                continue;
            }
            size_t len = c < 0x80 ? 1 : utf8Length(mPos);
            if (len == 0) {
                return false;
            }
            out->append(mText, mPos, len);
            mPos += len;
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
        return overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : len;
    }

    bool digits() {
        size_t begin = mPos;
        while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') {
            ++mPos;
        }
        return mPos > begin;
    }

    bool number() {
        eat('-');
        if (!eat('0') && !digits()) {
            return false;
        }
        if (eat('.') && !digits()) {
            return false;
        }
        if (eat('e') || eat('E')) {
            if (!eat('+')) {
                eat('-');
            }
            return digits();
        }
        return true;
    }

    void skipSpace() {
        while (mPos < mText.size() && strchr(" \t\r\n", mText[mPos]) != nullptr &&
               mText[mPos] != '\0') {
            ++mPos;
        }
    }
    bool peek(char c) const { return mPos < mText.size() && mText[mPos] == c; }
    bool eat(char c) {
        if (!peek(c)) {
            return false;
        }
        ++mPos;
        return true;
    }

    const std::string& mText;
    size_t mPos;
};

}  // namespace

const JsonValue* JsonValue::member(const std::string& key) const {
    for (const auto& m : members) {
        if (m.first == key) {
            return &m.second;
        }
    }
    return nullptr;
}

bool JsonValue::string(const std::string& key, std::string* out) const {
    const JsonValue* v = member(key);
    if (v == nullptr || v->kind != STRING) {
        return false;
    }
    *out = v->text;
    return true;
}

bool JsonValue::whole(const std::string& key, uint64_t max, uint64_t* out) const {
    const JsonValue* v = member(key);
    uint64_t n = 0;
    if (v == nullptr || v->kind != NUMBER || !parseWhole(v->text, &n) || n > max) {
        return false;
    }
    *out = n;
    return true;
}

bool JsonValue::isTrue(const std::string& key) const {
    const JsonValue* v = member(key);
    return v != nullptr && v->kind == BOOL && v->text == "true";
}

bool parseWhole(const std::string& digits, uint64_t* out) {
    if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == '0')) {
        return false;
    }
    uint64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = n;
    return true;
}

bool parseJson(const std::string& text, JsonValue* out) {
    if (text.size() > kMaxJsonBytes) {
        return false;
    }
    JsonValue v;
    if (!Parser(text).document(&v)) {
        return false;
    }
    *out = std::move(v);
    return true;
}

}  // namespace mqttlink
