// Whether an object the site daemon sent back is the port it was asked
// about, and how the lines name a port. One rule for every reply that must
// name the port of its request: discovery's per-port GET and the SET of an
// output alike.
//
// Pure functions of their arguments: any thread may call them on objects no
// other thread changes meanwhile. Nothing fails but by std::bad_alloc.
#ifndef DORVANE_PLATFORM_ULXOBJ_PORTMATCH_H
#define DORVANE_PLATFORM_ULXOBJ_PORTMATCH_H

#include <cstdint>
#include <string>

#include "ulxobj/cObject.h"

namespace ulxobj {

// "serial 12 port 1 (Door1)": a port as the lines name it, the label
// escaped (every byte, NULs included).
std::string portName(uint32_t serial, uint32_t id, const std::string& label);

// What got is, for a line that says it is not the port asked for:
// "serial 12 port 3 (A) of port type 2" for a port, else "an object of
// type 10".
std::string describe(const cObject& got);

// True when got is a discrete output object of asked's device serial, port
// id and port type. Labels are not compared: the caller decides which label
// counts.
bool isSameOutput(const cObjectDOutput& asked, const cObject& got);

}  // namespace ulxobj

#endif
