// The outbox's names and lines, as cOutbox writes them and reads them back:
// closed file names, ids, and what a file holds (cOutbox::readSpans).
// Internal to voutbox. Pure functions over their arguments, any thread;
// nothing throws but std::bad_alloc.
#ifndef DORVANE_PLATFORM_VOUTBOX_OUTBOXFILES_H
#define DORVANE_PLATFORM_VOUTBOX_OUTBOXFILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "voutbox/cOutbox.h"

namespace voutbox {

// The number of a closed file's name ("closed-" and 20 digits), or 0 when
// name is not one.
uint64_t closedNumber(const char* name);
// The closed name of number n.
std::string closedName(uint64_t n);
// Counts event n of start in spans: in the last run when it is one of
// events of that start, else in a new run.
void addEvent(std::vector<cOutbox::Span>* spans, const std::string& start, uint64_t n);
// "START-N".
std::string idOf(const std::string& start, uint64_t n);

}  // namespace voutbox

#endif
