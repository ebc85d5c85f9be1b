// cVlog::init, in a file of its own: it alone reaches the configuration code
// (VlogConfig.cpp, cLogProperties.cpp), which the tools then do not link.
#include <log4cpp/Category.hh>
#include <string>

#include "vlog/VlogConfig.h"
#include "vlog/cVlog.h"
#include "vutil/VFile.h"

void cVlog::init(const char* path) {
    vsync::cLock lock(vlogconfig::gConfigMutex);
    vlogconfig::clearAllAppenders();
    // Read once, bounded, and only from a regular file: a FIFO or a device
    // as the configuration file must neither block nor fill the memory.
    std::string text;
    bool configured = false;
    if (path != nullptr && vutil::readBounded(path, vutil::kMaxTextFile, &text, nullptr)) {
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            text.erase(0, 3);  // a UTF-8 byte-order mark is not part of the first key
        }
        configured = vlogconfig::configureFrom(path, text);
    }
    if (!configured) {
        vlogconfig::installFallback();
    } else if (log4cpp::Category::getRoot().getAllAppenders().empty()) {
        // Only some categories are routed (the access trail to a file of
        // its own): the rest keeps going to standard error.
        vlogconfig::addStderrAppender();
    }
}
