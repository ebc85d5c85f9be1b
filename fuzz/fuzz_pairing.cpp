// Fuzz target: the pairing file loader on arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SCLpairs.h"
#include "cSCL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/tmp/dorvane-fuzz-pairs-XXXXXX";
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
    static FILE* devnull = freopen("/dev/null", "w", stdout);
    (void)devnull;
    cSCLpairs loader;
    VList* list = loader.getSCLpairsLst(path.c_str());
    if (list != nullptr) {
        if (list->mNodeCount == 0) {
            abort();  // never an empty list
        }
        list->reset();
        for (int i = 0; i < list->mNodeCount; ++i) {
            auto* r = static_cast<cSCL*>(list->get());
            if (r->getReaderName() == nullptr || r->getIOLabel() == nullptr ||
                r->getLEDLabel() == nullptr || !*r->getReaderName() || !*r->getIOLabel() ||
                !*r->getLEDLabel()) {
                abort();  // every record passes the acceptance rule
            }
            delete r;
            list->step();
        }
        delete list;
    }
    return 0;
}
