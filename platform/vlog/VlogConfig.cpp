#include "vlog/VlogConfig.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <log4cpp/BasicLayout.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/DailyRollingFileAppender.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RemoteSyslogAppender.hh>
#include <log4cpp/SimpleLayout.hh>
#include <log4cpp/SyslogAppender.hh>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "vlog/cLogFileAppender.h"
#include "vlog/cLogProperties.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace vlogconfig {

namespace {

// The problems the last configuration reported.
std::vector<std::string> gLastProblems GUARDED_BY(gConfigMutex);

using Appenders = std::vector<cLogProperties::Appender>;
using Categories = std::vector<cLogProperties::Category>;

bool anyAppender() {
    for (log4cpp::Category* c : allCategories()) {
        if (!c->getAllAppenders().empty()) {
            return true;
        }
    }
    return false;
}

// Writes each problem of the log configuration to standard error, one line
// each, unless the init before found it too: the service configures logging
// twice from one file.
void reportProblems(const std::vector<std::string>& problems) REQUIRES(gConfigMutex) {
    for (const std::string& problem : problems) {
        if (std::find(gLastProblems.begin(), gLastProblems.end(), problem) == gLastProblems.end()) {
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
    gLastProblems = problems;
}

// The value of a priority name as log4cpp reads it ("INFO", "600"); false
// with *error set when it names none.
bool priorityOf(const std::string& name, log4cpp::Priority::Value* value, std::string* error) {
    try {
        *value = log4cpp::Priority::getPriorityValue(name);
        return true;
    } catch (const std::invalid_argument& e) {
        *error = e.what();
        return false;
    }
}

// The appender's layout, or null with *error set when log4cpp refuses its
// conversion pattern.
log4cpp::Layout* layoutFor(const cLogProperties::Appender& a, std::string* error) {
    if (a.layout == "SimpleLayout") {
        return new log4cpp::SimpleLayout();
    }
    if (a.layout == "BasicLayout") {
        return new log4cpp::BasicLayout();
    }
    auto layout = std::make_unique<log4cpp::PatternLayout>();
    try {
        if (a.hasPattern) {
            layout->setConversionPattern(a.pattern);
        }
    } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;
    }
    return layout.release();
}

// The project's appender to standard error in the place of a to a log file
// that cannot be used, with the problem added to problems.
log4cpp::Appender* toStandardError(const cLogProperties::Appender& a, const std::string& why,
                                   std::vector<std::string>* problems) {
    problems->push_back("log file " + vutil::escape(a.fileName.c_str()) + " refused (" + why +
                        "); appender " + vutil::escape(a.name.c_str()) +
                        " writes to standard error instead");
    return new cLogFileAppender(a.name);
}

// The file appenders: the project's own, to the file the gate lets through
// (log4cpp's own ignore failed writes); DailyRollingFileAppender stays
// log4cpp's, its file checked by the same gate first.
log4cpp::Appender* fileAppender(const cLogProperties::Appender& a,
                                std::vector<std::string>* problems) {
    if (a.type == "DailyRollingFileAppender") {
        std::string why;
        if (!vutil::isLogTarget(a.fileName.c_str(), &why)) {
            return toStandardError(a, why, problems);
        }
        auto* daily =
            new log4cpp::DailyRollingFileAppender(a.name, a.fileName, a.maxDaysKeep, a.append);
        if (!daily->reopen()) {
            why = strerror(errno);
            delete daily;
            return toStandardError(a, why, problems);
        }
        return daily;
    }
    // log4cpp rolls a file of maxFileSize 0 over after every line.
    size_t maxFileSize = a.type == "RollingFileAppender" ? std::max<size_t>(a.maxFileSize, 1) : 0;
    auto* own = new cLogFileAppender(a.name, a.fileName, a.append, maxFileSize, a.maxBackupIndex);
    if (own->isOpen()) {
        return own;
    }
    std::string why = own->refusal();
    delete own;  // before its successor of the same name: log4cpp keeps one by name
    return toStandardError(a, why, problems);
}

log4cpp::Appender* appenderFor(const cLogProperties::Appender& a,
                               std::vector<std::string>* problems) {
    if (a.type == "ConsoleAppender") {
        return new log4cpp::OstreamAppender(a.name, a.toStderr ? &std::cerr : &std::cout);
    }
    if (a.type == "SyslogAppender") {
        return new log4cpp::RemoteSyslogAppender(a.name, a.syslogName, a.syslogHost, a.facility,
                                                 a.portNumber);
    }
    if (a.type == "LocalSyslogAppender") {
        return new log4cpp::SyslogAppender(a.name, a.syslogName, a.facility);
    }
    return fileAppender(a, problems);
}

// What log4cpp decides of the configuration read: the priority names and
// the conversion patterns. Makes each appender's layout; false with *error
// set at the first one that log4cpp refuses.
bool resolve(const Appenders& appenders, const Categories& categories,
             std::vector<std::unique_ptr<log4cpp::Layout>>* layouts,
             std::vector<log4cpp::Priority::Value>* thresholds,
             std::vector<log4cpp::Priority::Value>* priorities, std::string* error) {
    for (const cLogProperties::Appender& a : appenders) {
        log4cpp::Priority::Value threshold = log4cpp::Priority::NOTSET;
        if (!a.threshold.empty() && !priorityOf(a.threshold, &threshold, error)) {
            *error += " for threshold of appender '" + a.name + "'";
            return false;
        }
        thresholds->push_back(threshold);
        layouts->emplace_back(layoutFor(a, error));
        if (layouts->back() == nullptr) {
            return false;
        }
    }
    for (const cLogProperties::Category& c : categories) {
        log4cpp::Priority::Value priority = log4cpp::Priority::NOTSET;
        const std::string name = c.name.empty() ? "rootCategory" : c.name;
        if (!c.priority.empty() && !priorityOf(c.priority, &priority, error)) {
            *error += " for category '" + name + "'";
            return false;
        }
        if (c.name.empty() && priority >= log4cpp::Priority::NOTSET) {
            *error = "cannot set priority NOTSET on Root Category for category '" + name + "'";
            return false;
        }
        priorities->push_back(priority);
    }
    return true;
}

}  // namespace

// Removes every appender from every category, so that a new configuration
// starts from nothing and never adds a second copy of an appender. Appenders
// are attached without handing them over to the categories (one may serve
// several), so those are deleted here, once each.
bool configureFrom(const char* path, const std::string& text) {
    Appenders appenders;
    Categories categories;
    std::vector<std::unique_ptr<log4cpp::Layout>> layouts;
    std::vector<log4cpp::Priority::Value> thresholds, priorities;
    std::string error;
    cLogProperties props(text);
    if (!props.configuresLogging()) {
        return false;
    }
    if (!props.read(&appenders, &categories, &error) ||
        !resolve(appenders, categories, &layouts, &thresholds, &priorities, &error)) {
        reportProblems({std::string("bad log configuration in ") + path + ": " + error +
                        "; logging INFO and above to standard error"});
        return false;
    }
    // Only appenders that a category writes to are made: no file is opened
    // for the others.
    std::map<std::string, log4cpp::Appender*> made;
    std::vector<std::string> problems;
    for (size_t i = 0; i < appenders.size(); ++i) {
        auto uses = [&](const cLogProperties::Category& c) {
            return std::count(c.appenders.begin(), c.appenders.end(), appenders[i].name) > 0;
        };
        if (std::any_of(categories.begin(), categories.end(), uses)) {
            log4cpp::Appender* a = appenderFor(appenders[i], &problems);
            a->setLayout(layouts[i].release());
            a->setThreshold(thresholds[i]);
            made[appenders[i].name] = a;
        }
    }
    for (size_t i = 0; i < categories.size(); ++i) {
        const cLogProperties::Category& c = categories[i];
        log4cpp::Category& category =
            c.name.empty() ? log4cpp::Category::getRoot() : log4cpp::Category::getInstance(c.name);
        category.setPriority(priorities[i]);
        category.setAdditivity(c.additive);
        for (const std::string& name : c.appenders) {
            category.addAppender(*made[name]);  // not handed over: see clearAllAppenders
        }
    }
    reportProblems(problems);
    return anyAppender();
}

}  // namespace vlogconfig
