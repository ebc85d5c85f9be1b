// cObjectList: the objects of one message, in order, with the message type
// (message id) and sequence number. The list does not own its objects:
// deleteObjects() deletes them, the destructor does not, so a list may hold
// objects that live on the caller's stack. Not thread-safe, not even for two
// readers of first()/next() (one shared cursor); size() and at() leave the
// cursor alone. Nothing here fails except by std::bad_alloc.
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECTLIST_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECTLIST_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ulxobj/cObject.h"

class cObjectList {
public:
    // Empty; read at the time of construction until setReadAt says otherwise.
    explicit cObjectList(uint8_t msgType = 0, uint8_t msgSeq = 0);
    ~cObjectList();  // deletes no object (see deleteObjects)

    cObjectList(const cObjectList&) = delete;
    cObjectList& operator=(const cObjectList&) = delete;

    // Appends obj without taking ownership. Null is ignored.
    void add(cObject* obj);

    // Iteration with one cursor: first() restarts; both give null after the
    // last object. The object stays where it was (the list holds it, the
    // owner owns it).
    cObject* first();
    cObject* next();

    uint8_t getMsgType() const { return mMsgType; }
    uint8_t getMsgSeq() const { return mMsgSeq; }

    // When the message was read off the connection (steady clock): the
    // client sets it on every message it delivers, so that a listener can
    // tell how long the message waited before it was handled.
    std::chrono::steady_clock::time_point readAt() const { return mReadAt; }
    void setReadAt(std::chrono::steady_clock::time_point readAt) { mReadAt = readAt; }

    // at REQUIRES: index < size(). Never null: add() keeps no null.
    size_t size() const { return mObjects.size(); }
    cObject* at(size_t index) const { return mObjects[index]; }

    // Deletes every object held and empties the list. Call it only for
    // objects created with new (as in every list the client returns).
    void deleteObjects();

private:
    std::vector<cObject*> mObjects;
    size_t mCursor;
    uint8_t mMsgType;
    uint8_t mMsgSeq;
    std::chrono::steady_clock::time_point mReadAt;
};

#endif
