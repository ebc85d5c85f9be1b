#include "vlog/cVlog.h"

#include <cstdarg>
#include <cstdio>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <set>
#include <string>
#include <vector>

#include "vlog/VlogConfig.h"
#include "vlog/cLogFileAppender.h"

namespace vlogconfig {

vsync::cMutex gConfigMutex;

std::vector<log4cpp::Category*> allCategories() {
    std::vector<log4cpp::Category*>* cats = log4cpp::Category::getCurrentCategories();
    std::vector<log4cpp::Category*> all;
    if (cats != nullptr) {
        all = *cats;
        delete cats;
    }
    all.push_back(&log4cpp::Category::getRoot());
    return all;
}

void clearAllAppenders() {
    const std::vector<log4cpp::Category*> all = allCategories();
    std::set<log4cpp::Appender*> unowned, owned;
    for (log4cpp::Category* c : all) {
        for (log4cpp::Appender* a : c->getAllAppenders()) {
            (c->ownsAppender(a) ? owned : unowned).insert(a);
        }
    }
    for (log4cpp::Appender* a : owned) {
        unowned.erase(a);  // its owner deletes it
    }
    for (log4cpp::Category* c : all) {
        c->removeAllAppenders();
    }
    for (log4cpp::Appender* a : unowned) {
        delete a;
    }
}

void addStderrAppender() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    auto* appender = new cLogFileAppender("stderr");
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%d{%Y-%m-%d %H:%M:%S} %p %c: %m%n");
    appender->setLayout(layout);
    root.addAppender(appender);
}

void installFallback() {
    addStderrAppender();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
}

}  // namespace vlogconfig

cVlog::cVlog(const char* catName)
    : mCatName(catName != nullptr ? catName : ""),
      mCategory(&log4cpp::Category::getInstance(mCatName)) {
    mLogBuffer[0] = '\0';
}

cVlog::~cVlog() = default;

void cVlog::initStandardError() {
    vsync::cLock lock(vlogconfig::gConfigMutex);
    vlogconfig::clearAllAppenders();
    vlogconfig::installFallback();
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
