// LogKeys: every key of the log configuration that cLogProperties reads, as
// log4cpp's PropertyConfigurator names them after "log4cpp." (or "log4j.").
// NAME stands for an appender's or a category's name. The one table of them:
// the reader uses these constants, and the manual page's check
// (scripts/check-man.sh) reads their texts here, so keep the form
// `constexpr const char* kName = "text";` for a new key.
#ifndef DORVANE_PLATFORM_VLOG_LOGKEYS_H
#define DORVANE_PLATFORM_VLOG_LOGKEYS_H

namespace logkeys {

// The root category: "PRIORITY, APPENDER, ...".
constexpr const char* kRootCategory = "rootCategory";
// category.NAME: a named category, as the root's.
constexpr const char* kCategory = "category.";
// additivity.NAME: "true" (the default) or "false".
constexpr const char* kAdditivity = "additivity.";
// appender.NAME: the appender's type; the keys below follow "appender.NAME".
constexpr const char* kAppender = "appender.";
constexpr const char* kTarget = ".target";
constexpr const char* kFileName = ".fileName";
constexpr const char* kAppend = ".append";
constexpr const char* kMaxFileSize = ".maxFileSize";
constexpr const char* kMaxBackupIndex = ".maxBackupIndex";
constexpr const char* kMaxDaysKeep = ".maxDaysKeep";
constexpr const char* kSyslogName = ".syslogName";
constexpr const char* kSyslogHost = ".syslogHost";
constexpr const char* kFacility = ".facility";
constexpr const char* kPortNumber = ".portNumber";
constexpr const char* kThreshold = ".threshold";
constexpr const char* kLayout = ".layout";
constexpr const char* kConversionPattern = ".layout.ConversionPattern";

}  // namespace logkeys

#endif
