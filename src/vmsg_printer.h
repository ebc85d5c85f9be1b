// The message dump printer: writes a protocol message, tag by tag, to
// standard output in readable form. Not thread-safe with other output.
#ifndef DORVANE_SRC_VMSG_PRINTER_H
#define DORVANE_SRC_VMSG_PRINTER_H

#include "VMsg.h"

// Prints a whole message: its header line, its tags, and an empty line. A
// message of an unknown id (5 to 255) is reported on one line and deleted:
// msg must then have been created with new and is gone afterwards. Null
// prints nothing.
void showMessage(VMsg* msg);

// Prints one tag: its name and its value, or the unknown-id text.
void showTag(const VTag* tag);

// Prints the value part of a tag by its type, then a line break.
void print_data(const VTag* tag);

// Prints "=%f " with the tag's 32-bit value read as a float; no line break.
void printFloatfromUint32(const VTag* tag);

#endif
