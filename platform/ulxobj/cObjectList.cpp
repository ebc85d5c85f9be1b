#include "ulxobj/cObjectList.h"

cObjectList::cObjectList(uint8_t msgType, uint8_t msgSeq)
    : mCursor(0), mMsgType(msgType), mMsgSeq(msgSeq), mReadAt(std::chrono::steady_clock::now()) {}

cObjectList::~cObjectList() = default;

void cObjectList::add(cObject* obj) {
    if (obj != nullptr) {
        mObjects.push_back(obj);
    }
}

cObject* cObjectList::first() {
    mCursor = 0;
    return next();
}

cObject* cObjectList::next() {
    if (mCursor >= mObjects.size()) {
        return nullptr;
    }
    return mObjects[mCursor++];
}

void cObjectList::deleteObjects() {
    for (cObject* obj : mObjects) {
        delete obj;
    }
    mObjects.clear();
    mCursor = 0;
}
