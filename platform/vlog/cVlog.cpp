#include "vlog/cVlog.h"

#include <cstdarg>
#include <cstdio>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <string>

#include "vlog/VlogConfig.h"
#include "vlog/cLogFileAppender.h"
#include "vutil/VFile.h"

namespace {

// The root category's lines to standard error, with a time stamp, priority
// and category.
void addStderrAppender() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    auto* appender = new cLogFileAppender("stderr");
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%d{%Y-%m-%d %H:%M:%S} %p %c: %m%n");
    appender->setLayout(layout);
    root.addAppender(appender);
}

// INFO and above to standard error.
void installFallback() {
    addStderrAppender();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
}

}  // namespace

cVlog::cVlog(const char* catName)
    : mCatName(catName != nullptr ? catName : ""),
      mCategory(&log4cpp::Category::getInstance(mCatName)) {
    mLogBuffer[0] = '\0';
}

cVlog::~cVlog() = default;

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
        installFallback();
    } else if (log4cpp::Category::getRoot().getAllAppenders().empty()) {
        // Only some categories are routed (the access trail to a file of
        // its own): the rest keeps going to standard error.
        addStderrAppender();
    }
}

void cVlog::setRootPriority(VlogPiority priority) {
    log4cpp::Category::getRoot().setPriority(static_cast<log4cpp::Priority::Value>(priority));
}

bool cVlog::isWriteFailing() const {
    for (const log4cpp::Category* c = mCategory; c != nullptr;
         c = c->getAdditivity() ? c->getParent() : nullptr) {
        for (log4cpp::Appender* a : c->getAllAppenders()) {
            auto* own = dynamic_cast<cLogFileAppender*>(a);
            if (own != nullptr && own->failing()) {
                return true;
            }
        }
    }
    return false;
}

bool cVlog::isEnabled(VlogPiority priority) const {
    return mCategory->isPriorityEnabled(static_cast<log4cpp::Priority::Value>(priority));
}

void cVlog::logv(VlogPiority priority, const char* fmt, va_list args) {
    if (!isEnabled(priority)) {
        return;
    }
    vsnprintf(mLogBuffer, sizeof(mLogBuffer), fmt, args);
    // The string overload: the text is already formatted and may hold "%".
    mCategory->log(static_cast<log4cpp::Priority::Value>(priority), std::string(mLogBuffer));
}

#define DORVANE_VLOG_LEVEL(name, prio)       \
    void cVlog::name(const char* fmt, ...) { \
        va_list args;                        \
        va_start(args, fmt);                 \
        logv(prio, fmt, args);               \
        va_end(args);                        \
    }

DORVANE_VLOG_LEVEL(debug, DEBUG)
DORVANE_VLOG_LEVEL(info, INFO)
DORVANE_VLOG_LEVEL(warn, WARN)
DORVANE_VLOG_LEVEL(error, ERROR)
DORVANE_VLOG_LEVEL(fatal, FATAL)
