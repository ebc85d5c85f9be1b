// vlogconfig: how cVlog::init configures log4cpp from a configuration text:
// cLogProperties reads it, and the categories, priorities, layouts and
// appenders are built (VlogConfig.cpp) from what it read, with the project's
// own file appenders (see cVlog.h for what init promises); and the fallback
// to standard error that every program may use (cVlog.cpp), kept apart so
// that the tools link none of the configuration code. Internal to the log
// library; callers hold gConfigMutex.
#ifndef DORVANE_PLATFORM_VLOG_VLOGCONFIG_H
#define DORVANE_PLATFORM_VLOG_VLOGCONFIG_H

#include <string>
#include <vector>

#include "vsync/VLocks.h"

namespace log4cpp {
class Category;
}

namespace vlogconfig {

// Held by whoever configures logging: one configuration at a time.
extern vsync::cMutex gConfigMutex;

// Every category, the root included.
std::vector<log4cpp::Category*> allCategories();

// Removes every appender from every category, and deletes them.
void clearAllAppenders() REQUIRES(gConfigMutex);

// Adds an appender of the root category's lines to standard error, with a
// time stamp, the priority and the category.
void addStderrAppender() REQUIRES(gConfigMutex);

// The configuration without a file: INFO and above to standard error.
void installFallback() REQUIRES(gConfigMutex);

// Configures log4cpp from text, read from path, after clearAllAppenders().
// False when the text has no "log4cpp." line, or when it configures nothing
// usable: a configuration that log4cpp would refuse is reported on standard
// error (unless the call before reported it too) and nothing of it is
// applied; a log file that cannot be used is reported and its appender
// writes to standard error instead.
bool configureFrom(const char* path, const std::string& text) REQUIRES(gConfigMutex);

}  // namespace vlogconfig

#endif
