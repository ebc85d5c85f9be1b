// cVlog: the log facade over log4cpp.
//
// Each instance names one log4cpp category at construction and formats its
// messages into its own 1024-character buffer, so one instance must be used
// by one thread at a time; distinct instances may log from different threads
// at once (log4cpp serialises the appenders). Messages whose priority the
// category filters out are not formatted at all. Nothing here throws but
// std::bad_alloc. A line that a file appender cannot write is lost, counted
// and reported on standard error (see cLogFileAppender.h).
#ifndef DORVANE_PLATFORM_VLOG_CVLOG_H
#define DORVANE_PLATFORM_VLOG_CVLOG_H

#include <cstddef>

namespace log4cpp {
class Category;
}

class cVlog {
public:
    // The priority values of log4cpp.
    enum VlogPiority {
        EMERG = 0,
        FATAL = 0,
        ALERT = 100,
        CRIT = 200,
        ERROR = 300,
        WARN = 400,
        NOTICE = 500,
        INFO = 600,
        DEBUG = 700,
        NOTSET = 800
    };

    enum { LOG_BUFFER_SIZE = 1024 };

    // catName must outlive the instance (the service passes literals); null
    // names the category "". The category itself belongs to log4cpp and
    // lives as long as the process; instances of one name share it.
    explicit cVlog(const char* catName);
    virtual ~cVlog();

    cVlog(const cVlog&) = delete;
    cVlog& operator=(const cVlog&) = delete;

    // Configures log4cpp from the "log4cpp." keys of the key=value file at
    // path. The file is read once, without blocking and only when it is a
    // regular file of at most vutil::kMaxTextFile bytes; a UTF-8 byte-order
    // mark at its start is skipped. Calling it again replaces the earlier
    // configuration, so no appender is ever duplicated. When the file is
    // missing, unreadable or configures no appender, lines of priority INFO
    // and above go to standard error with a time stamp, the priority and the
    // category; so do the lines of a root category that the file gives no
    // appender. A bad configuration (one that log4cpp's configurator would
    // refuse, or an AbortAppender) is reported in one line on standard
    // error, none of it applies, and logging falls back the same way.
    // File appenders (FileAppender, RollingFileAppender, configured by
    // log4cpp's keys) are the project's own (cLogFileAppender): they open
    // their file through the file gate and report lines they cannot write.
    // A log file that the gate refuses (a FIFO, a device, a directory, a
    // missing directory) or that cannot be opened is reported in one line on
    // standard error, and its appender alone writes to standard error
    // instead; the others are unchanged. log4cpp's DailyRollingFileAppender
    // is kept, its file checked by the same gate first (a failed write there
    // goes unseen). A problem is not reported again when the next init finds
    // it too; init never throws.
    // Thread-safe against other init calls, not against concurrent logging
    // while the configuration is replaced.
    static void init(const char* path);

    // What init does without a configuration file (INFO and above to
    // standard error), without reading one: for the tools, so that they
    // link none of the configuration code. Same threads caveat as init.
    static void initStandardError();

    // Sets the threshold of the root category (lines below it are dropped
    // unless a category sets its own). Call it at start-up, before other
    // threads log: the change is not synchronised with them.
    static void setRootPriority(VlogPiority priority);

    // printf-style. The message is cut to fit the buffer, never written past
    // it. fatal only logs at priority FATAL; it does not stop the process.
    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // True when a line of this priority would be written.
    bool isEnabled(VlogPiority priority) const;

    // True when a line of this category may be lost now: the last write of
    // a file appender that its lines reach (its own, and its ancestors'
    // while additivity holds) failed. Any thread; same caveat as init.
    bool isWriteFailing() const;

protected:
    const char* mCatName;
    char mLogBuffer[LOG_BUFFER_SIZE];

private:
    void logv(VlogPiority priority, const char* fmt, __builtin_va_list args);

    log4cpp::Category* mCategory;
};

#endif
