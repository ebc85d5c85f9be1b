// The CSV of a set of codes, as dorvanectl imports and exports it and a
// signed code set carries it: UTF-8, one "code,reader" a line, LF or CRLF,
// an optional first line exactly "code,reader", a byte-order mark at the
// start skipped, no quoting (a field holding a comma or a double quote is
// refused, not guessed at).
// Pure; nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_CSV_H
#define DORVANE_SRC_CSV_H

#include <cstddef>
#include <string>
#include <vector>

namespace csv {

constexpr const char* kHeader = "code,reader";

struct Line {
    size_t number;  // from 1, as an editor counts
    std::string code, reader;
};

struct Refused {
    size_t number;
    std::string why;
};

// Splits text into its lines of two fields. Lines that are not two fields
// of valid UTF-8 go to *refused; their fields are not judged here.
std::vector<Line> parse(const std::string& text, std::vector<Refused>* refused);

// One line for the pair, or "" with *why when a field cannot be written in
// this CSV (a comma, a quote, a line break).
std::string format(const std::string& code, const std::string& reader, std::string* why);

}  // namespace csv

#endif
