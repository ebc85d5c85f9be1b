// cLogProperties: the log configuration keys of a configuration text, read
// exactly as log4cpp 1.1's PropertyConfigurator reads them, for the file
// appenders that the project builds itself (log4cpp's own ignore failed
// writes and open their file without looking at what it is).
//
// The rules log4cpp applies, and so this reader: a '#' anywhere starts a
// comment; a line without '=' is skipped; key and value are trimmed of
// spaces, tabs and line ends; a leading "log4cpp." or "log4j." is taken off
// the key; "${NAME}" in a value becomes the environment variable NAME, or
// else the value of the key NAME defined before, or else nothing; the first
// definition of a key wins. One rule is the project's own: a line longer
// than 255 bytes is skipped, here and in the text handed to log4cpp, as the
// configuration reader skips it.
//
// A value object; nothing here throws but std::bad_alloc.
#ifndef DORVANE_PLATFORM_VLOG_CLOGPROPERTIES_H
#define DORVANE_PLATFORM_VLOG_CLOGPROPERTIES_H

#include <map>
#include <string>
#include <vector>

class cLogProperties {
public:
    // A file appender of the configuration, with its keys read as log4cpp
    // reads them (its defaults included).
    struct FileAppender {
        std::string name;
        std::string type;  // "FileAppender", "RollingFileAppender", ...
        std::string fileName;
        bool append;
        size_t maxFileSize;           // RollingFileAppender only
        unsigned int maxBackupIndex;  // RollingFileAppender only; at least 1
        std::string layout;           // "PatternLayout", ... ("" when not given)
        bool hasPattern;
        std::string pattern;  // the layout's ConversionPattern
    };

    explicit cLogProperties(const std::string& text);

    // Every appender whose type is FileAppender, RollingFileAppender or
    // DailyRollingFileAppender, in the order of their names.
    std::vector<FileAppender> fileAppenders() const;

    // The configuration text for log4cpp with the appenders named in
    // replaced defined as ConsoleAppender instead (to standard output, so
    // that log4cpp opens no file for them; the caller puts its own in their
    // place) and lines over 255 bytes left out.
    std::string textFor(const std::vector<std::string>& replaced) const;

private:
    struct Value {
        std::string text;
        size_t line;  // the index of the line that defined it
    };

    std::string get(const std::string& key, const char* fallback) const;
    void substitute(std::string* value) const;

    std::vector<std::string> mLines;
    std::map<std::string, Value> mKeys;
};

#endif
