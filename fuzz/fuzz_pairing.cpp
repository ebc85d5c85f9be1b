// Fuzz target: the pairing file loader on arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "src/SCLpairs.h"
#include "src/cSCL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzzutil::writeInput("pairs", data, size);
    if (path.empty()) {
        return 0;
    }
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
