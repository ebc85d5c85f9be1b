// output_toggle: the one rule of what a toggle of a label does, used by the
// service (manager::toggle_port) and by dorvanectl --lookup alike. A toggle
// of a label acts on every output whose port label equals it byte for byte,
// and turns an output that is set to clear and one in any other state
// (clear, unknown) to set. Pure and thread-safe; nothing throws.
#ifndef DORVANE_SRC_OUTPUT_TOGGLE_H
#define DORVANE_SRC_OUTPUT_TOGGLE_H

#include "ulxobj/cObject.h"

namespace toggle {

// True when a toggle of label acts on an output labelled portLabel (a null
// on either side acts on nothing); then *next (when not null) gets the
// state that it turns state to.
bool decide(const char* label, const char* portLabel, cObject::eObjectIOState state,
            cObject::eObjectIOState* next);

}  // namespace toggle

#endif
