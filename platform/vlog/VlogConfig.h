// vlogconfig: how cVlog::init configures log4cpp from a configuration text,
// with the project's own file appenders in the place of log4cpp's (see
// cVlog.h for what init promises). Internal to the log library; callers
// hold cVlog's init lock.
#ifndef DORVANE_PLATFORM_VLOG_VLOGCONFIG_H
#define DORVANE_PLATFORM_VLOG_VLOGCONFIG_H

#include <string>

namespace vlogconfig {

// Removes every appender from every category, and deletes them.
void clearAllAppenders();

// Configures log4cpp from text, read from path. False, with the problem
// reported on standard error and every appender removed, when it
// configures nothing usable.
bool configureFrom(const char* path, const std::string& text);

}  // namespace vlogconfig

#endif
