#include "src/pairing_report.h"

#include <string>

#include "vutil/VText.h"

void logDroppedReaders(cVlog& log, const char* file, const cSCLpairsReport& report) {
    const std::string shown = vutil::escape(file);
    size_t named = 0;
    for (const cSCLpairsReport::Refused& r : report.refused) {
        if (named++ == kDroppedReadersNamed) {
            log.warn("pairing file %s: %zu more dropped readers are not named", shown.c_str(),
                     report.refused.size() - kDroppedReadersNamed);
            break;
        }
        if (r.name.empty()) {
            log.warn("pairing file %s: reader number %u (no name) dropped: %s", shown.c_str(),
                     r.index, r.reason.c_str());
        } else {
            log.warn("pairing file %s: reader \"%s\" (number %u) dropped: %s", shown.c_str(),
                     vutil::escape(r.name.c_str()).c_str(), r.index, r.reason.c_str());
        }
    }
}
