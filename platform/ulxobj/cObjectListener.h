// cObjectListener: what the object client calls for every delivered message.
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECTLISTENER_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECTLISTENER_H

#include "cObjectList.h"

class cObjectListener {
public:
    // Called on the client's event thread, one message at a time, in arrival
    // order. The list stays the client's: do not keep or delete it. The
    // listener may call the client's get and set from here.
    virtual void handleObjectAction(cObjectList* rx_msg) = 0;
    virtual ~cObjectListener() = default;
};

#endif
