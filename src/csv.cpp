#include "src/csv.h"

namespace csv {
namespace {

// Length of the UTF-8 sequence at text[i], or 0 when it is not valid
// (overlong forms, surrogates and values past U+10FFFF included).
size_t utf8Length(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) {
        return 1;
    }
    size_t n = c >= 0xc2 && c <= 0xdf   ? 2
               : c >= 0xe0 && c <= 0xef ? 3
               : c >= 0xf0 && c <= 0xf4 ? 4
                                        : 0;
    if (n == 0 || i + n > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) {
            return 0;
        }
    }
    unsigned char second = byte(i + 1);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f)) {
        return 0;
    }
    return n;
}

bool validUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Length(text, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

// Why line (without its end) is not two fields, or "".
std::string splitLine(const std::string& line, Line* out) {
    if (line.empty()) {
        return "an empty line (each line is code,reader)";
    }
    if (!validUtf8(line)) {
        return "not valid UTF-8";
    }
    if (line.find('"') != std::string::npos) {
        return "a double quote: fields are not quoted, and a code or reader name holding a "
               "quote is refused";
    }
    size_t comma = line.find(',');
    if (comma == std::string::npos) {
        return "no comma: each line is code,reader";
    }
    if (line.find(',', comma + 1) != std::string::npos) {
        return "more than one comma: a code or reader name holding a comma is refused";
    }
    out->code = line.substr(0, comma);
    out->reader = line.substr(comma + 1);
    return "";
}

}  // namespace

std::vector<Line> parse(const std::string& text, std::vector<Refused>* refused) {
    std::vector<Line> lines;
    size_t start = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    for (size_t number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start && text[end - 1] == '\r') {
            --end;  // CRLF; a CR elsewhere is a control character of a field
        }
        std::string line = text.substr(start, end - start);
        start = next;
        if (number == 1 && line == kHeader) {
            continue;
        }
        Line l{number, "", ""};
        std::string why = splitLine(line, &l);
        if (why.empty()) {
            lines.push_back(l);
        } else {
            refused->push_back({number, why});
        }
    }
    return lines;
}

std::string format(const std::string& code, const std::string& reader, std::string* why) {
    for (const std::string* field : {&code, &reader}) {
        if (field->find_first_of(",\"\r\n") != std::string::npos) {
            *why = "holds a comma, a double quote or a line break, which this CSV cannot carry";
            return "";
        }
    }
    return code + "," + reader;
}

}  // namespace csv
