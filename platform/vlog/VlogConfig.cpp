#include "vlog/VlogConfig.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <log4cpp/BasicLayout.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/SimpleLayout.hh>
#include <set>
#include <vector>

#include "vlog/cLogFileAppender.h"
#include "vlog/cLogProperties.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace vlogconfig {

namespace {

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

bool anyAppender() {
    for (log4cpp::Category* c : allCategories()) {
        if (!c->getAllAppenders().empty()) {
            return true;
        }
    }
    return false;
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
            close(mFd);  // no /proc
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

// Writes each problem of the log configuration to standard error, one line
// each, unless the init before found it too: the service configures logging
// twice from one file.
void reportProblems(const std::vector<std::string>& problems) {
    static std::vector<std::string> last;
    for (const std::string& problem : problems) {
        if (std::find(last.begin(), last.end(), problem) == last.end()) {
            std::string line = "dorvane: " + problem + "\n";
            size_t done = 0;
            while (done < line.size()) {
                ssize_t n = write(2, line.data() + done, line.size() - done);
                if (n <= 0 && !(n < 0 && errno == EINTR)) {
                    break;
                }
                done += n > 0 ? static_cast<size_t>(n) : 0;
            }
        }
    }
    last = problems;
}

// The layout log4cpp's configurator would give the appender (it has already
// checked that the configuration names one it knows).
log4cpp::Layout* layoutFor(const cLogProperties::FileAppender& wanted) {
    if (wanted.layout == "SimpleLayout") {
        return new log4cpp::SimpleLayout();
    }
    if (wanted.layout != "PatternLayout") {
        return new log4cpp::BasicLayout();
    }
    auto* layout = new log4cpp::PatternLayout();
    if (wanted.hasPattern) {
        layout->setConversionPattern(wanted.pattern);  // accepted before, on the stand-in
    }
    return layout;
}

// The project's appender as configured in wanted: to its file, or to standard error when
// the file is refused (refusal, when not empty, is the gate's answer given
// before log4cpp saw it), with the problem added to problems.
cLogFileAppender* ownAppender(const cLogProperties::FileAppender& wanted,
                              const std::string& refusal, std::vector<std::string>* problems) {
    cLogFileAppender* appender = nullptr;
    std::string why = refusal;
    if (why.empty()) {
        // log4cpp rolls a file of maxFileSize 0 over after every line.
        size_t maxFileSize = std::max<size_t>(wanted.maxFileSize, 1);
        appender = new cLogFileAppender(wanted.name, wanted.fileName, wanted.append,
                                        wanted.type == "RollingFileAppender" ? maxFileSize : 0,
                                        wanted.maxBackupIndex);
        if (appender->isOpen()) {
            return appender;
        }
        why = appender->refusal();
        delete appender;
    }
    problems->push_back("log file " + vutil::escape(wanted.fileName.c_str()) + " refused (" + why +
                        "); appender " + vutil::escape(wanted.name.c_str()) +
                        " writes to standard error instead");
    return new cLogFileAppender(wanted.name);
}

// Puts the project's appender in the place of each stand-in that log4cpp
// built for the file appender configured in wanted, in every category that has it.
void replaceStandIn(const cLogProperties::FileAppender& wanted, const std::string& refusal,
                    std::vector<std::string>* problems) {
    std::vector<log4cpp::Category*> users;
    log4cpp::Appender* standIn = nullptr;
    for (log4cpp::Category* c : allCategories()) {
        for (log4cpp::Appender* a : c->getAllAppenders()) {
            if (a->getName() == wanted.name) {
                standIn = a;
                users.push_back(c);
            }
        }
    }
    if (standIn == nullptr) {
        return;  // no category writes to it: no file is opened
    }
    log4cpp::Priority::Value threshold = standIn->getThreshold();
    for (log4cpp::Category* c : users) {
        c->removeAppender(standIn);  // not the category's: log4cpp's configurator keeps it
    }
    // Deleted before its successor is made: log4cpp's list of appenders by
    // name drops the name when an appender of that name is deleted.
    delete standIn;
    cLogFileAppender* own = ownAppender(wanted, refusal, problems);
    own->setLayout(layoutFor(wanted));
    own->setThreshold(threshold);
    for (log4cpp::Category* c : users) {
        c->addAppender(*own);  // not handed over either, like the configurator's
    }
}

// False when the log4cpp file appender of that name cannot open its file
// (it would drop every line in silence).
bool log4cppFileOpens(const std::string& name) {
    for (log4cpp::Category* c : allCategories()) {
        for (log4cpp::Appender* a : c->getAllAppenders()) {
            auto* file = dynamic_cast<log4cpp::FileAppender*>(a);
            if (file != nullptr && a->getName() == name) {
                return file->reopen();
            }
        }
    }
    return true;
}

}  // namespace

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

// Configures log4cpp from text, read from path, with the project's own file
// appenders (see the header). False, with the problem reported and every
// appender removed, when it configures nothing usable.
bool configureFrom(const char* path, const std::string& text) {
    cLogProperties props(text);
    const std::vector<cLogProperties::FileAppender> files = props.fileAppenders();
    std::vector<std::string> replaced, refusals, problems;
    for (const cLogProperties::FileAppender& wanted : files) {
        std::string why;
        // log4cpp keeps its DailyRollingFileAppender unless the gate refuses
        // its file: it would open a FIFO or a device there itself.
        bool own = wanted.type != "DailyRollingFileAppender" ||
                   !vutil::isLogTarget(wanted.fileName.c_str(), &why);
        refusals.push_back(why);
        if (own) {
            replaced.push_back(wanted.name);
        }
    }
    std::string problem;
    try {
        MemoryFile file(props.textFor(replaced));
        if (!file.ok()) {
            problem = "cannot hand the log configuration to log4cpp (no memfd or /proc)";
        } else {
            log4cpp::PropertyConfigurator::configure(file.path());
            for (size_t i = 0; i < files.size(); ++i) {
                if (std::find(replaced.begin(), replaced.end(), files[i].name) != replaced.end()) {
                    replaceStandIn(files[i], refusals[i], &problems);
                } else if (!log4cppFileOpens(files[i].name)) {
                    replaceStandIn(files[i], strerror(errno), &problems);
                }
            }
            reportProblems(problems);
            return anyAppender();
        }
    } catch (const std::exception& e) {
        problem = std::string("bad log configuration in ") + path + ": " + e.what();
    }
    reportProblems({problem + "; logging INFO and above to standard error"});
    clearAllAppenders();
    return false;
}

}  // namespace vlogconfig
