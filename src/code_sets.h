// A signed code set judged by a unit: the verdict of vsign::decide with the
// import's own input rules (code_input) on its CSV, and the codes it holds.
// One function for the link that receives sets and for the applier that
// writes them, so both decide alike. Thread-safe; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_SRC_CODE_SETS_H
#define DORVANE_SRC_CODE_SETS_H

#include <cstddef>
#include <vector>

#include "src/csv.h"
#include "vsign/VCodeSet.h"

namespace code_sets {

// Why the CSV of a set is refused by the import's input rules (each line's
// fields, no code for two readers; a reader without a pairing record is no
// reason here), or "" with *lines (when not null) the codes it gives, in
// order, repeats dropped. The reason names the first refused line by its
// number in the CSV ("CSV line 3: the code is empty") and how many more
// there are.
std::string csvRefusal(const char* csv, size_t size, std::vector<csv::Line>* lines);

// vsign::decide on the payload (size bytes at data) for unit, with
// csvRefusal as the CSV rule; for SET_APPLY, *lines (when not null) holds
// the set's codes (none: a set that removes every code).
vsign::Verdict decide(const char* data, size_t size, const vsign::Unit& unit,
                      std::vector<csv::Line>* lines);

}  // namespace code_sets

#endif
