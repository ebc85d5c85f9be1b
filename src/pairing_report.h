// logDroppedReaders: what the service says of the readers that a load of
// the pairing file left out (the loader's own report, cSCLpairsReport), so
// that no pairing record is dropped in silence at start-up or at a reload.
#ifndef DORVANE_SRC_PAIRING_REPORT_H
#define DORVANE_SRC_PAIRING_REPORT_H

#include <cstddef>

#include "src/SCLpairs.h"
#include "vlog/cVlog.h"

// At most this many dropped readers are named per load; a file of thousands
// of broken records must not flood the log at every reload.
constexpr size_t kDroppedReadersNamed = 20;

// One WARN line on log per "Reader" element that report says was dropped,
// naming it by its name (by its position among the readers when it has
// none) and why; past kDroppedReadersNamed, one line saying how many more.
// file names the pairing file in the lines (escaped). Same threads as log.
void logDroppedReaders(cVlog& log, const char* file, const cSCLpairsReport& report);

#endif
