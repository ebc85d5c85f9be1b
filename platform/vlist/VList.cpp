#include "vlist/VList.h"

#include <new>

VList::VList() : cVlog("Vlist"), mStart(nullptr), mCurrent(nullptr), mEnd(nullptr), mNodeCount(0) {}

VList::~VList() {
    VListNode* node = mStart;
    while (node != nullptr) {
        VListNode* next = node->mNext;
        delete node;
        node = next;
    }
}

bool VList::add(void* data) {
    if (mNodeCount >= MAX_NODES) {
        error("add refused: the list already holds %u elements", static_cast<unsigned>(mNodeCount));
        return false;
    }
    VListNode* node = new (std::nothrow) VListNode{data, nullptr};
    if (node == nullptr) {
        error("add refused: out of memory");
        return false;
    }
    if (mEnd == nullptr) {
        mStart = node;
    } else {
        mEnd->mNext = node;
    }
    mEnd = node;
    ++mNodeCount;
    return true;
}

void VList::reset() {
    mCurrent = mStart;
}

void* VList::get() const {
    return mCurrent != nullptr ? mCurrent->mData : nullptr;
}

bool VList::step() {
    if (mCurrent == nullptr) {
        return false;
    }
    mCurrent = mCurrent->mNext;
    return true;
}
