// The link's cursor: where in the outbox the last acknowledged line ends
// and its id, and which event numbers of each start of the service were
// acknowledged (to tell, when the service drops a file, how many of its
// events were never published). Kept in STATEDIR/cursor, written beside and
// renamed over, so a crash leaves the old cursor or the new one.
//
// Threads: one thread uses an object. Memory: at most kMaxStarts starts of
// kMaxRanges ranges each. Nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_CURSOR_H
#define DORVANE_TOOLS_DORVANE_MQTT_CURSOR_H

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tools/dorvane-mqtt/event_line.h"
#include "tools/dorvane-mqtt/outbox_reader.h"

namespace mqttlink {

// The numbers of one start's events that were published, as ranges, and
// among them those of `lost` lines (which are not access events).
class cPublished {
public:
    enum { kMaxStarts = 4, kMaxRanges = 64 };

    // Records the line with id; access says whether it is an access event.
    void add(const EventId& id, bool access);

    // True when the line with id was recorded.
    bool has(const EventId& id) const;

    // What the service's `lost` event (start, first..last, count access
    // events) still has to say: the count of those never published, and the
    // first and last numbers not published. False when every one was.
    bool unpublished(const std::string& start, uint64_t first, uint64_t last, uint64_t count,
                     uint64_t* newCount, uint64_t* newFirst, uint64_t* newLast) const;

    std::string serialize() const;  // lines "acked START LO-HI ..." and "other START N ..."
    void parseLine(const std::string& line);  // one such line; others are ignored

private:
    struct Start {
        std::string start;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;  // in order added
        std::vector<uint64_t> others;                       // numbers of lines not access
    };
    Start* find(const std::string& start);
    const Start* find(const std::string& start) const;
    Start& get(const std::string& start);

    std::deque<Start> mStarts;
};

struct Cursor {
    FilePlace place;     // just past the last acknowledged line
    std::string lastId;  // the last acknowledged event's id
    // The line at place was damaged (not lastId's): place is taken as it
    // is, lastId looked for only when place is gone.
    bool afterDamage = false;
    cPublished acked;
};

// Reads STATEDIR/cursor; an empty cursor when missing or unreadable.
Cursor loadCursor(const std::string& stateDir);
// Writes it beside and renames it in; false with *why on failure. With
// sync, the file reaches the disk before the rename (a power loss then
// leaves this cursor or the one before); without, a killed process still
// leaves it (the kernel holds it), a power loss may not.
bool saveCursor(const std::string& stateDir, const Cursor& cursor, bool sync, std::string* why);

}  // namespace mqttlink

#endif
