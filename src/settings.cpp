#include "src/settings.h"

#include <cstdio>
#include <cstring>

#include "src/properties.h"

namespace settings {

const Key kHost = {"host", "127.0.0.1", kHostSize};
const Key kIoPairFile = {"ioPairFile", "/etc/ulx/dorvane.xml", kIoPairFileSize};
const Key kDblocal = {"dblocal", "/var/ulx/access.db", kDblocalSize};
const Key kOutbox = {"outbox", "", kOutboxSize};

bool copy(const cProperties& props, const Key& key, char* field, std::string* refusal) {
    const char* value = props.getString(key.name, key.defval);
    bool fits = strlen(value) < key.size;
    if (!fits) {
        if (refusal != nullptr) {
            *refusal = std::string("value of ") + key.name + " is longer than " +
                       std::to_string(key.size - 1) + " characters; using the default " +
                       key.defval;
        }
        value = key.defval;
    }
    snprintf(field, key.size, "%s", value);
    return fits;
}

}  // namespace settings
