#include "src/pairing_index.h"

#include <algorithm>
#include <cstring>

#include "src/cSCL.h"

namespace {

bool nameBefore(const cSCL* a, const cSCL* b) {
    return strcmp(a->getReaderName(), b->getReaderName()) < 0;
}

}  // namespace

cSCLpairIndex::cSCLpairIndex(const VList* list) {
    if (list == nullptr) {
        return;
    }
    mByName.reserve(list->mNodeCount);
    for (const VListNode* node = list->mStart; node != nullptr; node = node->mNext) {
        const auto* record = static_cast<const cSCL*>(node->mData);
        if (record != nullptr && record->getReaderName() != nullptr) {
            mByName.push_back(record);
        }
    }
    // Stable: the records of one reader keep their list order, so the last
    // of each run of equal names is the one that counts.
    std::stable_sort(mByName.begin(), mByName.end(), nameBefore);
    auto kept = mByName.begin();
    for (auto it = mByName.begin(); it != mByName.end(); ++it) {
        auto next = it + 1;
        if (next == mByName.end() || nameBefore(*it, *next)) {
            *kept++ = *it;
        }
    }
    mByName.erase(kept, mByName.end());
    mByName.shrink_to_fit();  // duplicates leave spare room on a small unit
}

const cSCL* cSCLpairIndex::find(const char* readerName) const {
    if (readerName == nullptr) {
        return nullptr;
    }
    auto it = std::lower_bound(
        mByName.begin(), mByName.end(), readerName,
        [](const cSCL* r, const char* name) { return strcmp(r->getReaderName(), name) < 0; });
    if (it == mByName.end() || strcmp((*it)->getReaderName(), readerName) != 0) {
        return nullptr;
    }
    return *it;
}
