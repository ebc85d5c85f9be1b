// The site file of ulxd-sim: the ports it serves, one per line
// ("port SERIAL PORT_ID TYPE LABEL [STATE]"), and the words and numbers of
// its lines and commands.
#ifndef DORVANE_TOOLS_ULXD_SIM_SITE_H
#define DORVANE_TOOLS_ULXD_SIM_SITE_H

#include <cstdint>
#include <string>
#include <vector>

#include "ulxobj/cObject.h"

namespace ulxdsim {

struct Port {
    uint32_t serial;
    uint32_t id;
    cObject::eObjectTypes objType;
    cObjectPort::ePortType portType;
    std::string label;
    cObject::eObjectIOState state;
};

// The blank-separated words of line; a word in double quotes may hold
// blanks (an unclosed quote runs to the end of the line).
std::vector<std::string> tokens(const std::string& line);

// A whole number of decimal digits from 0 to max; false for anything else
// (signs, blanks, an empty text, a number that does not fit).
bool wholeNumber(const std::string& text, unsigned long long max, unsigned long long* value);

// Loads the site file at path into ports: a regular file of at most 1 MiB
// with at least one port line and no bad line. False otherwise, with every
// bad line named on standard error.
bool loadSite(const char* path, std::vector<Port>& ports);

// A new object for port p, owned by the caller.
cObject* portObject(const Port& p);

// The port of serial and id in ports, or null.
Port* findPort(std::vector<Port>& ports, uint32_t serial, uint32_t id);

}  // namespace ulxdsim

#endif
