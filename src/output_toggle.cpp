#include "src/output_toggle.h"

#include <cstring>

bool toggle::decide(const char* label, const char* portLabel, cObject::eObjectIOState state,
                    cObject::eObjectIOState* next) {
    if (label == nullptr || portLabel == nullptr || strcmp(label, portLabel) != 0) {
        return false;
    }
    if (next != nullptr) {
        *next = state == cObject::OBJ_IO_STATE_SET ? cObject::OBJ_IO_STATE_CLEAR
                                                   : cObject::OBJ_IO_STATE_SET;
    }
    return true;
}
