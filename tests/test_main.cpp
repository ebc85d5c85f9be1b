// The main of every test binary.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "src/timings.h"

namespace {

// A fatal failure ends the whole test, not only the helper that asserted:
// without this, an ASSERT inside a void helper returns from the helper alone
// and the test goes on against a peer that never started. Only on the main
// thread, since an exception must not leave another thread's function.
class FatalFailureEndsTheTest : public testing::EmptyTestEventListener {
public:
    FatalFailureEndsTheTest() : mMain(std::this_thread::get_id()) {}
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (result.fatally_failed() && std::this_thread::get_id() == mMain) {
            throw testing::AssertionException(result);
        }
    }

private:
    std::thread::id mMain;
};

// The services the tests start wait less than the installed one (see
// src/timings.h); no assertion depends on how long. The reply deadline, the
// hold-back of sequence numbers and the scan bound keep their defaults: the
// tests of those set their own. A DORVANE_TIMINGS already in the environment
// wins (DORVANE_TIMINGS=scan_expiry=5000 runs the suite on the defaults).
const char* const kTestTimings =
    "discovery_wait=20,first_retry=300,longest_retry=1200,reconnect=200,tick=200";

}  // namespace

int main(int argc, char** argv) {
    // A peer that went away must show as a failed write, not end the binary
    // (and orphan what it started).
    signal(SIGPIPE, SIG_IGN);
    setenv(timings::kVariable, kTestTimings, 0);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FatalFailureEndsTheTest);
    return RUN_ALL_TESTS();
}
