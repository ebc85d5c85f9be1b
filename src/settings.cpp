#include "src/settings.h"

#include <cstdio>
#include <cstring>

#include "src/properties.h"
#include "voutbox/cOutbox.h"

namespace settings {

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

std::string outboxFolder(const cProperties& props) {
    return props.getString(kOutboxKey, "");
}

uint64_t outboxLimit(const cProperties& props, std::string* refusal) {
    const char* value = props.getString(kOutboxLimitKey, nullptr);
    if (value == nullptr) {
        return kOutboxLimitDefault;
    }
    uint64_t n = 0;
    bool fits = *value != '\0' && strlen(value) <= 13;
    for (const char* p = value; fits && *p != '\0'; ++p) {
        fits = *p >= '0' && *p <= '9';
        n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    fits = fits && n >= voutbox::kMinLimit && n <= kOutboxLimitMax;
    if (fits) {
        return n;
    }
    if (refusal != nullptr) {
        *refusal = std::string("value of ") + kOutboxLimitKey + " is not a number of bytes from " +
                   std::to_string(voutbox::kMinLimit) + " to " + std::to_string(kOutboxLimitMax) +
                   "; using the default " + std::to_string(kOutboxLimitDefault);
    }
    return kOutboxLimitDefault;
}

}  // namespace settings
