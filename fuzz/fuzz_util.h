// Helpers of the fuzz targets that read their input from a file.
#ifndef DORVANE_FUZZ_FUZZ_UTIL_H
#define DORVANE_FUZZ_FUZZ_UTIL_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzzutil {

// Writes data to a temporary file of this process (the same path on every
// call) and returns its path, or an empty string when it cannot. Standard
// output goes to /dev/null, so the readers' diagnostics keep the run quiet.
inline std::string writeInput(const char* tag, const uint8_t* data, size_t size) {
    static FILE* devnull = freopen("/dev/null", "w", stdout);
    (void)devnull;
    static std::string path = [tag] {
        std::string tmpl = std::string("/tmp/dorvane-fuzz-") + tag + "-XXXXXX";
        int fd = mkstemp(&tmpl[0]);
        if (fd >= 0) {
            close(fd);
        }
        return tmpl;
    }();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return "";
    }
    fwrite(data, 1, size, f);
    fclose(f);
    return path;
}

}  // namespace fuzzutil

#endif
