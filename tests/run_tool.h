// runTool: runs one of the project's programs to its end with standard
// output and standard error kept apart, for tests of what a tool says where.
#ifndef DORVANE_TESTS_RUN_TOOL_H
#define DORVANE_TESTS_RUN_TOOL_H

#include <string>
#include <vector>

namespace testutil {

struct ToolRun {
    int status = -1;  // the exit status; -1 when it had to be killed
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv (argv[0] a path; under the cross build's emulator when there is
// one) with standard input from /dev/null. A run that has not ended after
// timeoutMs is killed, and so is the program when the test process dies.
ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs = 10000);

}  // namespace testutil

#endif
