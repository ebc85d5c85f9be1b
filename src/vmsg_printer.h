// The message dump printer: writes a protocol message, tag by tag, to
// standard output in readable form. Texts are cut to 127 bytes; tab, CR and
// LF show as spaces, double quotes as single ones, other control characters
// as \xHH. Call it from one thread at a time, or lines of two messages
// interleave. Nothing fails: what cannot be named is printed as unknown.
#ifndef DORVANE_SRC_VMSG_PRINTER_H
#define DORVANE_SRC_VMSG_PRINTER_H

#include "vmsg/VMsg.h"

// Prints a whole message: its header line, its tags, and an empty line; it
// moves the message's tag cursor. Note the ownership: a message of an
// unknown id (5 to 255) is reported on one line and deleted, so msg must
// then have been created with new and is gone afterwards; any other message
// stays the caller's. Null prints nothing.
void showMessage(VMsg* msg);

// Prints one tag: its name and its value, or the unknown-id text. Note: the
// unknown-id text and the float tags (ids 49 to 56) end with no line break,
// so the next tag follows on the same line. Null prints nothing.
void showTag(const VTag* tag);

// Prints the value part of a tag by its type (hex for integers, the quoted
// text for strings, nothing for null, bytes and float tags), then a line
// break. REQUIRES: tag is not null.
void print_data(const VTag* tag);

// Prints "=%f " with the tag's 32-bit value read as a float (a narrower
// integer widened; 0 for a tag with no integer value, or null); no line
// break.
void printFloatfromUint32(const VTag* tag);

#endif
