// The event and the trail line of one access object, from one record: they
// list the same outputs, and the event keeps within its bound whatever the
// site holds (many short labels make the event, not the line, the limit).
#include <gtest/gtest.h>

#include <string>

#include "src/access_event.h"
#include "src/access_trail.h"
#include "tests/test_util.h"

using testutil::occurrences;

TEST(AccessEvent, LineAndEventListTheSameOutputsWithinTheirBounds) {
    struct Case {
        const char* name;
        unsigned outputs;
        std::string label;
        std::string reader;
        std::string code;
        bool mixed;  // some outputs unconfirmed or without output; else all confirmed
    } cases[] = {
        {"two", 2, "RELAY_1", "Door1", "04A1", false},
        {"many short labels", 300, "R", "Door1", "04A1", false},
        {"many short labels, mixed", 300, "R", "Door1", std::string(127, '"'), true},
        {"long escaped labels", 40, std::string(64, '\x01'), std::string(127, '\\'),
         std::string(127, '"'), true},
        {"one long label", 1, std::string(200, 'x'), "Door1", "04A1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cAccessTrail trail;
        trail.begin(7, 12, c.code.c_str());
        trail.reader(c.reader.c_str());
        trail.pairingFound();
        for (unsigned i = 0; i < c.outputs; ++i) {
            if (c.mixed && i % 3 == 2) {
                trail.noOutput(c.label.c_str());
            } else {
                trail.output(c.label.c_str(), i % 2 == 0, !c.mixed || i % 5 != 0);
            }
        }
        const cTrailRecord r = trail.record();
        const std::string line = cAccessTrail::lineOf(r);
        const std::string event = accessEventMembers(r);
        EXPECT_LE(line.size(), static_cast<size_t>(cAccessTrail::MAX_LINE_BYTES));
        // The outbox adds "v", "type", the id and the time: kEventFixedBytes holds them.
        EXPECT_LE(event.size() + 110, static_cast<size_t>(cAccessTrail::MAX_EVENT_BYTES));
        EXPECT_EQ(r.outputs.size() + r.omitted, c.outputs);
        EXPECT_EQ(r.outputs.size(), occurrences(event, "{\"label\":"));
        EXPECT_EQ(r.outputs.size(), occurrences(line, "=set") + occurrences(line, "=clear") +
                                        occurrences(line, "=no-output"));
        if (r.omitted > 0) {
            EXPECT_NE(std::string::npos, line.find(" omitted=" + std::to_string(r.omitted)));
            EXPECT_NE(std::string::npos, event.find(",\"omitted\":" + std::to_string(r.omitted)));
        }
    }
}
