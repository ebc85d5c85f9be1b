// Signify keys for the tests of signed code sets, made with signify-openbsd
// (DORVANE_SIGNIFY_BIN, defined for the test binaries that sign): a unit's
// keys folder dir/keys with key "a" in it, and key "b" whose public key lies
// outside it (only the center has it). Secret keys are dir/a.sec, dir/b.sec.
#ifndef DORVANE_TESTS_SIGNIFY_KEYS_H
#define DORVANE_TESTS_SIGNIFY_KEYS_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/test_daemon.h"

namespace testutil {

// Makes both keys in dir; a key not made is a failure of the test.
inline void makeSignifyKeys(const std::string& dir) {
    mkdir((dir + "/keys").c_str(), 0755);
    for (std::string k : {"a", "b"}) {
        std::string pub = k == "a" ? dir + "/keys/a.pub" : dir + "/b.pub";
        std::string sec = dir + "/";
        sec += k + ".sec";
        EXPECT_EQ(
            0,
            runTool({DORVANE_SIGNIFY_BIN, "-G", "-n", "-p", pub, "-s", sec}, 10000, true).status);
    }
}

// Signs the file msg with key ("a" or "b") of dir into out, the
// embedded-signature file; a signature not made is a failure of the test.
inline void signifySign(const std::string& dir, const std::string& key, const std::string& msg,
                        const std::string& out) {
    EXPECT_EQ(0, runTool({DORVANE_SIGNIFY_BIN, "-S", "-e", "-s", dir + "/" + key + ".sec", "-m",
                          msg, "-x", out},
                         10000, true)
                     .status);
}

}  // namespace testutil

#endif
