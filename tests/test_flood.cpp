// A flood of events (100,000 by default, DORVANE_FLOOD_EVENTS), each
// handled in order and none lost. Labelled soak: it runs for seconds by
// design, and CI runs it once with the soak.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/service_site.h"

using testutil::ServiceSite;

namespace {

const char* kSite =
    "port 12 1 dout A clear\n"
    "port 12 2 dout B clear\n";

TEST(Flood, EventsNoneLostInOrder) {
    const char* env = getenv("DORVANE_FLOOD_EVENTS");
    int events = env != nullptr ? atoi(env) : 100000;
    // A flood worked off for seconds: none may expire.
    testutil::ServiceTimings none("scan_expiry=0");
    ServiceSite site;
    site.files({{"R1", "A", "A"}, {"R2", "B", "B"}}, {{"C1", "R1"}, {"C2", "R2"}})
        .start(kSite, "", "INFO");
    std::string batch;
    for (int i = 0; i < events; ++i) {
        batch += i % 2 == 0 ? "scan 12 C1\n" : "scan 12 C2\n";
        if (batch.size() > 60000 || i == events - 1) {
            site.sim().write(batch);
            batch.clear();
        }
    }
    ASSERT_TRUE(site.waitSets(2u * events, 240000)) << site.sets().size();
    std::vector<std::string> sets = site.sets();
    ASSERT_EQ(2u * events, sets.size());
    // Events alternate A and B; each toggles its output twice (set, clear).
    for (int i = 0; i < events; ++i) {
        const char* label = i % 2 == 0 ? "A" : "B";
        const char* port = i % 2 == 0 ? "1" : "2";
        ASSERT_EQ(std::string("SET serial=12 port=") + port + " label=" + label + " state=set",
                  sets[2 * i])
            << "event " << i;
        ASSERT_EQ(std::string("SET serial=12 port=") + port + " label=" + label + " state=clear",
                  sets[2 * i + 1])
            << "event " << i;
    }
}

}  // namespace
