// The argument vector that execv and execvp take, for the tests' and the
// benchmark's children.
#ifndef DORVANE_TESTS_SUPPORT_ARGV_H
#define DORVANE_TESTS_SUPPORT_ARGV_H

#include <string>
#include <vector>

namespace testutil {

// Pointers into words, null-terminated; valid while words lives unchanged.
// Made before fork: a child of a threaded process must not allocate.
std::vector<char*> argvOf(std::vector<std::string>& words);

}  // namespace testutil

#endif
