// The fleet event of one access object: the JSON an outbox line carries for
// it, built from the record the access trail line is written from, so that
// the two cannot disagree.
//
//   {"v":1,"type":"access","id":"9f86d081884c7d65-42","time":"...","seq":7,
//    "serial":12,"code":"04A1","reader":"Door1","result":"toggled",
//    "outputs":[{"label":"RELAY_1","state":"set","confirmed":true}]}
//
// The outbox writes "v", "type", "id" and "time"; the members here follow.
// - seq and serial as numbers; code, reader (null when the line has none),
//   result and outputs as the line has them, one output per label of the
//   line in its order: state "set", "clear" or "no-output", confirmed
//   whether the site daemon confirmed it (false for no-output).
// - Texts without the line's quotes. When the line escapes a byte of any
//   text as \xHH, the event has "escaped":true and then in every text a
//   backslash stands as \\ and each escaped byte as \xHH (four characters);
//   otherwise each text is exactly its bytes. A text the line cuts ends in
//   "..." and the event has "cut":true. Outputs the line leaves out are
//   counted by "omitted", as in the line.
// - Strict JSON, UTF-8, no line end. Pure functions: any thread; nothing
//   throws but std::bad_alloc.
#ifndef DORVANE_SRC_ACCESS_EVENT_H
#define DORVANE_SRC_ACCESS_EVENT_H

#include <cstddef>
#include <string>

#include "src/access_trail.h"

// The event's bytes besides its texts and outputs at most: the outbox's
// members ("v", "type", the longest id and a time), every key, the longest
// numbers, a result word of up to 40 bytes, "omitted", "escaped" and "cut".
constexpr size_t kEventFixedBytes = 300;
// One output's bytes besides its label's text at most.
constexpr size_t kEventOutputBytes = 48;

// The members after "time": ",\"seq\":7,...,\"outputs\":[...]".
std::string accessEventMembers(const cTrailRecord& record);

// The most bytes t takes in an event (its escaped form, quoted).
size_t eventTextBytes(const cTrailText& t);

#endif
