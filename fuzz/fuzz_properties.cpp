// Fuzz target: the properties reader on a file of arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/tmp/dorvane-fuzz-props-XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        return std::string(tmpl);
    }();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, f);
    fclose(f);
    // Its one diagnostic goes to standard output; keep the run quiet.
    static FILE* devnull = freopen("/dev/null", "w", stdout);
    (void)devnull;
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
