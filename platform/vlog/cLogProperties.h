// cLogProperties: the log configuration of a configuration text, read once:
// its keys exactly as log4cpp 1.1's PropertyConfigurator reads them, and
// what they configure (the appenders, their layouts and thresholds, the
// categories with their priorities, additivity and appenders), which
// VlogConfig then builds.
//
// The key rules, as log4cpp's: a '#' anywhere starts a comment; a line
// without '=' is skipped; key and value are trimmed of spaces, tabs and line
// ends; a leading "log4cpp." or "log4j." is taken off the key; "${NAME}" in a
// value becomes the environment variable NAME, or else the value of the key
// NAME defined before, or else nothing; the first definition of a key wins.
// Four rules are the project's own: a line longer than 255 bytes is skipped,
// as the configuration reader skips it; a value longer than 4096 bytes once
// its names are replaced is cut there, and read() refuses the text; so it
// does a RollingFileAppender that keeps more than 1000 backups, and a
// PatternLayout that pads a conversion to more than 1000 characters.
//
// A value object; nothing here throws but std::bad_alloc.
#ifndef DORVANE_PLATFORM_VLOG_CLOGPROPERTIES_H
#define DORVANE_PLATFORM_VLOG_CLOGPROPERTIES_H

#include <map>
#include <string>
#include <vector>

class cLogProperties {
public:
    // An appender of the configuration, its keys read as log4cpp reads
    // them, its defaults included. Only the fields of its type count.
    struct Appender {
        std::string name;
        // "ConsoleAppender", "FileAppender", "RollingFileAppender",
        // "DailyRollingFileAppender", "SyslogAppender" (to a syslog host)
        // or "LocalSyslogAppender".
        std::string type;
        bool toStderr;  // ConsoleAppender: target "stderr", else "stdout"
        std::string fileName;
        bool append;
        size_t maxFileSize;           // RollingFileAppender
        unsigned int maxBackupIndex;  // RollingFileAppender
        unsigned int maxDaysKeep;     // DailyRollingFileAppender; 0: log4cpp's default
        std::string syslogName;
        std::string syslogHost;  // SyslogAppender
        int facility;            // the syslog facility code (LOG_USER ...), or negative
        int portNumber;          // SyslogAppender; negative: the syslog port
        std::string layout;      // "BasicLayout", "SimpleLayout" or "PatternLayout"
        bool hasPattern;
        std::string pattern;    // the layout's ConversionPattern
        std::string threshold;  // a priority name, "" when none is given
    };

    // A category: the root (name "") or a named one.
    struct Category {
        std::string name;
        std::string priority;  // a priority name, "" for none (NOTSET)
        bool additive;
        std::vector<std::string> appenders;  // names, as listed
    };

    explicit cLogProperties(const std::string& text);

    // True when a line of the text begins with "log4cpp.": the text means
    // to configure logging.
    bool configuresLogging() const { return mConfigures; }

    // What the text configures: every appender it defines, by name, and the
    // root category followed by the others, by name. False, with *error set
    // to the reason that log4cpp gives, when log4cpp would refuse the text
    // for its structure (no root category, a partial appender definition,
    // an unknown type, a missing or unknown layout, an unknown console
    // target, a category naming an appender that is not defined), or when
    // a value passed 4096 bytes once its names were replaced, a
    // RollingFileAppender keeps more than 1000 backups, or a PatternLayout
    // pads a conversion to more than 1000 characters. The
    // names of priorities and the conversion patterns are left to whoever
    // builds it (log4cpp decides them).
    bool read(std::vector<Appender>* appenders, std::vector<Category>* categories,
              std::string* error) const;

private:
    bool readAppender(const std::string& name, Appender* appender, std::string* error) const;
    // False, with *error set, when a value was cut by substitute() or an
    // appender passes the project's own bounds (see the top of this file).
    bool withinBounds(const std::vector<Appender>& appenders, std::string* error) const;
    // The value of the key prefix + suffix, or null / fallback.
    const std::string* find(const std::string& prefix, const char* suffix) const;
    std::string get(const std::string& prefix, const char* suffix, const char* fallback) const;
    int getInt(const std::string& prefix, const char* suffix, int fallback) const;
    // Replaces each "${NAME}" of *value; false when the result would pass
    // kMaxValue (it is cut there).
    bool substitute(std::string* value) const;

    std::map<std::string, std::string> mKeys;
    bool mConfigures;
    std::string mOverlong;  // the first key whose value substitute() cut; "" for none
};

#endif
