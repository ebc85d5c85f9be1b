// cLogFileAppender: a log4cpp appender that writes each line with write(2),
// to a file or to standard error, and sees whether the line was written
// (log4cpp 1.1's FileAppender and RollingFileAppender ignore what write
// returns, and its OstreamAppender on std::cerr stops for good after one
// failed write).
//
// The file is opened through the file gate (vutil::openAppend): a FIFO, a
// device or a directory at its path is never opened; the appender then
// writes nothing and isOpen() is false, so that the caller can make one to
// standard error instead. With maxFileSize set it rolls over as log4cpp's
// RollingFileAppender does: once the file has reached that size it becomes
// NAME.1 (NAME.1 becomes NAME.2, and so on up to maxBackupIndex, the index
// padded with zeros to the width of maxBackupIndex) and a new file is begun.
//
// A line that cannot be written (a full disk, the file-size limit, a
// descriptor gone bad) is counted as lost and reported in a line of its own
// on standard error the first time, and again at most once a minute while it
// lasts; the first line written again brings a line that says so and how
// many were lost. A line cut short by a failed write is ended before the
// next one, so that every line stands on its own.
//
// Threads: log4cpp may call one appender from two threads at once (a file
// shared by two categories), so a lock inside serialises the writes;
// failing() may be called from any thread. Ownership: the appender owns its
// file's descriptor, never standard error. Nothing here throws but
// std::bad_alloc; SIGXFSZ must be ignored by the process for a file at the
// file-size limit to fail a write rather than end the process.
#ifndef DORVANE_PLATFORM_VLOG_CLOGFILEAPPENDER_H
#define DORVANE_PLATFORM_VLOG_CLOGFILEAPPENDER_H

#include <atomic>
#include <chrono>
#include <log4cpp/LayoutAppender.hh>
#include <string>

#include "vsync/VLocks.h"

class cLogFileAppender : public log4cpp::LayoutAppender {
public:
    // To the file at fileName; append false empties it first. maxFileSize 0
    // never rolls over.
    cLogFileAppender(const std::string& name, const std::string& fileName, bool append,
                     size_t maxFileSize = 0, unsigned int maxBackupIndex = 1);
    // To standard error (descriptor 2).
    explicit cLogFileAppender(const std::string& name);
    ~cLogFileAppender() override;

    cLogFileAppender(const cLogFileAppender&) = delete;
    cLogFileAppender& operator=(const cLogFileAppender&) = delete;

    // False when the file was refused or could not be opened; refusal()
    // then says why ("not a regular file", ...).
    bool isOpen() const EXCLUDES(mMutex);
    std::string refusal() const EXCLUDES(mMutex);

    // True while the last line could not be written.
    bool failing() const { return mFailing.load(); }

    // Closes the file and opens it again through the gate (for a file that
    // was moved away); true when it is open. Standard error stays as it is.
    bool reopen() override EXCLUDES(mMutex);
    void close() override EXCLUDES(mMutex);

protected:
    void _append(const log4cpp::LoggingEvent& event) override EXCLUDES(mMutex);

private:
    bool openFile(bool truncate) REQUIRES(mMutex);
    void closeFile() REQUIRES(mMutex);
    void rollOver() REQUIRES(mMutex);
    void noteFailure(int err) REQUIRES(mMutex);
    void noteSuccess() REQUIRES(mMutex);

    mutable vsync::cMutex mMutex;
    const bool mStderr;
    const std::string mFileName;
    const std::string mShownName;  // "log file NAME (appender A)" or "standard error"
    const size_t mMaxFileSize;
    const unsigned int mMaxBackupIndex;
    int mFd GUARDED_BY(mMutex);
    std::string mRefusal GUARDED_BY(mMutex);
    std::atomic<bool> mFailing;
    bool mCutShort GUARDED_BY(mMutex);       // the last line was written in part
    unsigned long mLost GUARDED_BY(mMutex);  // lines lost since writing last worked
    std::chrono::steady_clock::time_point mLastReport GUARDED_BY(mMutex);
};

#endif
