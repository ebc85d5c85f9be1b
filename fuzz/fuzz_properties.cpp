// Fuzz target: the properties reader on a file of arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_util.h"
#include "src/properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzzutil::writeInput("props", data, size);
    if (path.empty()) {
        return 0;
    }
    cProperties props;
    props.load(path.c_str());
    const char* keys[] = {"host", "ioPairFile", "dblocal", "", "a"};
    for (const char* k : keys) {
        const char* v = props.getString(k, "default");
        if (v == nullptr) {
            abort();
        }
        props.getInt(k, 7);
    }
    return 0;
}
