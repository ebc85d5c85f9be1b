#include "cVlog.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "VFile.h"

namespace {

std::mutex gInitMutex;

// Every category, the root included.
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

// Removes every appender from every category, so that a new configuration
// starts from nothing and never adds a second copy of an appender. The
// configurator attaches appenders without handing them over to the
// categories, so those are deleted here, once each.
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

bool anyAppender() {
    for (log4cpp::Category* c : allCategories()) {
        if (!c->getAllAppenders().empty()) {
            return true;
        }
    }
    return false;
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

// Calls fn with each line of text, without its newline, until fn returns
// true; returns whether it did.
template <typename Fn>
bool anyLine(const std::string& text, Fn fn) {
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        if (fn(text.substr(pos, end - pos))) {
            return true;
        }
        pos = end + 1;
    }
    return false;
}

// True when text has a line that configures log4cpp.
bool hasLogKeys(const std::string& text) {
    return anyLine(text,
                   [](const std::string& line) { return line.compare(0, 8, "log4cpp.") == 0; });
}

// The value of the line "key=value" in text (without a carriage return), or "".
std::string valueOf(const std::string& text, const std::string& key) {
    std::string value;
    anyLine(text, [&](const std::string& line) {
        if (line.compare(0, key.size() + 1, key + "=") != 0) {
            return false;
        }
        value = line.substr(key.size() + 1);
        if (!value.empty() && value.back() == '\r') {
            value.pop_back();
        }
        return true;
    });
    return value;
}

// The configuration text in an anonymous memory file that log4cpp can open
// by path, so that it reads exactly the text already checked and read, never
// the path again (which could meanwhile be a FIFO or a device).
class MemoryFile {
public:
    explicit MemoryFile(const std::string& text) : mFd(memfd_create("dorvane-log", MFD_CLOEXEC)) {
        for (size_t done = 0; mFd >= 0 && done < text.size();) {
            ssize_t n = write(mFd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                close(mFd);
                mFd = -1;
            } else {
                done += static_cast<size_t>(n);
            }
        }
        mPath = "/proc/self/fd/" + std::to_string(mFd);
        if (mFd >= 0 && access(mPath.c_str(), R_OK) != 0) {
            close(mFd);  // no /proc: the caller reads the path itself
            mFd = -1;
        }
    }
    ~MemoryFile() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return mFd >= 0; }
    const std::string& path() const { return mPath; }

private:
    int mFd;
    std::string mPath;
};

// A file appender that cannot open its file drops every line in silence:
// says which, or "" when every file appender has its file.
std::string unopenedLogFile(const std::string& text) {
    const std::vector<log4cpp::Category*> all = allCategories();
    for (log4cpp::Category* c : all) {
        for (log4cpp::Appender* a : c->getAllAppenders()) {
            auto* file = dynamic_cast<log4cpp::FileAppender*>(a);
            if (file != nullptr && !file->reopen()) {
                std::string why = strerror(errno);
                return "log file " +
                       valueOf(text, "log4cpp.appender." + a->getName() + ".fileName") +
                       " cannot be opened (" + why + ")";
            }
        }
    }
    return "";
}

// Writes a problem of the log configuration to standard error, unless it is
// the one written last: the service configures logging twice from one file.
void reportOnce(const std::string& problem) {
    static std::string last;
    if (problem != last) {
        std::cerr << "dorvane: " << problem << "; logging INFO and above to standard error"
                  << std::endl;
        last = problem;
    }
}

// Configures log4cpp from text, read from path. False, with the problem
// reported and every appender removed, when it configures nothing usable.
bool configureFrom(const char* path, const std::string& text) {
    std::string problem;
    try {
        MemoryFile file(text);
        log4cpp::PropertyConfigurator::configure(file.ok() ? file.path() : std::string(path));
        problem = unopenedLogFile(text);
        if (problem.empty()) {
            return anyAppender();
        }
    } catch (const std::exception& e) {
        problem = std::string("bad log configuration in ") + path + ": " + e.what();
    }
    reportOnce(problem);
    clearAllAppenders();
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
    // Read once, bounded, and only from a regular file: a FIFO or a device
    // as the configuration file must neither block nor fill the memory.
    std::string text;
    bool configured = false;
    if (path != nullptr && vfile::readBounded(path, vfile::kMaxTextFile, &text, nullptr)) {
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            text.erase(0, 3);  // a UTF-8 byte-order mark is not part of the first key
        }
        configured = hasLogKeys(text) && configureFrom(path, text);
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
