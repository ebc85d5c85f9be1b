// cObjectListener: what the object client calls for every delivered message.
// The client does not own its listeners: a listener must outlive the
// client's threads (cObjectClient::stop or its destructor ends them).
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECTLISTENER_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECTLISTENER_H

#include "ulxobj/cObjectList.h"

class cObjectListener {
public:
    // Called on the client's event thread, one message at a time, in arrival
    // order. The list and its objects stay the client's, valid only during
    // the call: do not keep or delete them. The listener may call the
    // client's get and set from here, but not stop() nor delete the client
    // (that thread would wait for itself). An exception that escapes
    // ends the process. While it runs, no further message is delivered.
    virtual void handleObjectAction(cObjectList* rx_msg) = 0;
    virtual ~cObjectListener() = default;

    // Called on the event thread once for each connection to the site daemon
    // that is made (the first one included), before any message that arrives
    // on it is handed over. The listener may call get and set from here; the
    // messages that arrive meanwhile wait. Default: nothing.
    virtual void handleConnected() {}

    // Called on the event thread about once every Timings::tick,
    // between two messages or while none comes, never during another listener
    // call: a listener call that hangs stops the ticks. Default: nothing.
    virtual void handleTick() {}

    // Called on the event thread about once every Timings::tick
    // while a get or set made from a listener call waits for its send or its
    // reply (a wait bounded by Timings::replyTimeout): the thread is alive though
    // the call has not returned. It must neither block nor call get or set.
    // Default: nothing.
    virtual void handleWaiting() {}
};

#endif
