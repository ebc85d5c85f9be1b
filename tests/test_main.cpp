// The main of every test binary.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

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

}  // namespace

int main(int argc, char** argv) {
    // A peer that went away must show as a failed write, not end the binary
    // (and orphan what it started).
    signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FatalFailureEndsTheTest);
    return RUN_ALL_TESTS();
}
