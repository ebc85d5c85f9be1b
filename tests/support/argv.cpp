#include "tests/support/argv.h"

namespace testutil {

std::vector<char*> argvOf(std::vector<std::string>& words) {
    std::vector<char*> args;
    args.reserve(words.size() + 1);
    for (std::string& w : words) {
        args.push_back(&w[0]);
    }
    args.push_back(nullptr);
    return args;
}

}  // namespace testutil
