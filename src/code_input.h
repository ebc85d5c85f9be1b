// The input rules for codes and reader names: what dorvanectl takes in (a
// code given on the command line, each line of an imported CSV) and what a
// signed code set may carry. Stricter than what the service matches
// (pAccess::refusal): no control characters, nothing the access trail would
// escape, so that an export can be imported again. Plain functions of their
// arguments, thread-safe; nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_CODE_INPUT_H
#define DORVANE_SRC_CODE_INPUT_H

#include <functional>
#include <string>
#include <vector>

#include "src/csv.h"

namespace code_input {

// Why text can never be the column's value ("sc" or "reader") that the
// service matches, as "the code ..." or "the reader name ...", or "".
std::string matchRefusal(const char* column, const std::string& text);

// Why text cannot be given as the column's value, or "": matchRefusal, then
// vutil::typedTextFlaw (controls, format characters, bytes that are not
// UTF-8, white space at either end), so that what a person reads is what is
// stored and an export can be imported again.
std::string inputRefusal(const char* column, const std::string& text);

// Marks the lines (not dropped yet) that repeat an earlier line's code: the
// same reader counts once (dropped), another reader is refused.
void judgeRepeats(const std::vector<csv::Line>& lines, std::vector<bool>* drop,
                  std::vector<csv::Refused>* refused);

// The rules on lines parsed from a CSV: each line's code and reader by
// inputRefusal, then extra (when set: why else the line is refused, or ""),
// then judgeRepeats. Refused lines are added to *refused, which ends sorted
// by line number; *lines keeps the lines taken, in order, repeats dropped.
void judgeLines(std::vector<csv::Line>* lines, std::vector<csv::Refused>* refused,
                const std::function<std::string(const csv::Line&)>& extra);

}  // namespace code_input

#endif
