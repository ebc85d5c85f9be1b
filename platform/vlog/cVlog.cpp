#include "cVlog.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

std::mutex gInitMutex;

// Removes every appender from every category, so that a new configuration
// starts from nothing and never adds a second copy of an appender. The
// configurator attaches appenders without handing them over to the
// categories, so those are deleted here, once each.
void clearAllAppenders() {
    std::vector<log4cpp::Category*>* cats = log4cpp::Category::getCurrentCategories();
    std::vector<log4cpp::Category*> all;
    if (cats != nullptr) {
        all = *cats;
        delete cats;
    }
    all.push_back(&log4cpp::Category::getRoot());
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

bool anyAppender() {
    bool found = !log4cpp::Category::getRoot().getAllAppenders().empty();
    std::vector<log4cpp::Category*>* cats = log4cpp::Category::getCurrentCategories();
    if (cats != nullptr) {
        for (log4cpp::Category* c : *cats) {
            if (!c->getAllAppenders().empty()) {
                found = true;
            }
        }
        delete cats;
    }
    return found;
}

// The root category's lines to standard error, with a time stamp, priority
// and category.
void addStderrAppender() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    auto* appender = new log4cpp::OstreamAppender("stderr", &std::cerr);
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

// True when the file can be read and has a line that configures log4cpp.
bool hasLogKeys(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "log4cpp.") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

cVlog::cVlog(const char* catName)
    : mCatName(catName != nullptr ? catName : ""),
      mCategory(&log4cpp::Category::getInstance(mCatName)) {
    mLogBuffer[0] = '\0';
}

cVlog::~cVlog() = default;

void cVlog::init(const char* path) {
    std::lock_guard<std::mutex> lock(gInitMutex);
    clearAllAppenders();
    bool configured = false;
    if (path != nullptr && hasLogKeys(path)) {
        try {
            log4cpp::PropertyConfigurator::configure(path);
            configured = anyAppender();
        } catch (const std::exception& e) {
            std::cerr << "dorvane: bad log configuration in " << path << ": " << e.what()
                      << "; logging INFO and above to standard error" << std::endl;
            clearAllAppenders();
        }
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
