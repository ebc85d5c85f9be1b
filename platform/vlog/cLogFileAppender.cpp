#include "vlog/cLogFileAppender.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <log4cpp/Layout.hh>

#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace {

// How often a failure that lasts is said again.
const std::chrono::seconds kReportInterval(60);

// Writes all of text to fd; 0, or the errno value of the failed write with
// *written set to what went out before it.
int writeAll(int fd, const std::string& text, size_t* written) {
    *written = 0;
    while (*written < text.size()) {
        ssize_t n = write(fd, text.data() + *written, text.size() - *written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        *written += static_cast<size_t>(n);
    }
    return 0;
}

// One line on standard error, in one write, whatever became of the last.
void say(const std::string& text) {
    size_t written;
    writeAll(2, "dorvane: " + text + "\n", &written);
}

std::string backupName(const std::string& fileName, unsigned int index, unsigned int last) {
    int width = snprintf(nullptr, 0, "%u", last);
    char suffix[32];
    snprintf(suffix, sizeof(suffix), ".%0*u", width, index);
    return fileName + suffix;
}

}  // namespace

cLogFileAppender::cLogFileAppender(const std::string& name, const std::string& fileName,
                                   bool append, size_t maxFileSize, unsigned int maxBackupIndex)
    : log4cpp::LayoutAppender(name),
      mStderr(false),
      mFileName(fileName),
      mShownName("log file " + vutil::escape(fileName.c_str()) + " (appender " +
                 vutil::escape(name.c_str()) + ")"),
      mMaxFileSize(maxFileSize),
      mMaxBackupIndex(maxBackupIndex > 0 ? maxBackupIndex : 1),
      mFd(-1),
      mFailing(false),
      mCutShort(false),
      mLost(0) {
    vsync::cLock lock(mMutex);
    openFile(!append);
}

cLogFileAppender::cLogFileAppender(const std::string& name)
    : log4cpp::LayoutAppender(name),
      mStderr(true),
      mShownName("standard error"),
      mMaxFileSize(0),
      mMaxBackupIndex(1),
      mFd(2),
      mFailing(false),
      mCutShort(false),
      mLost(0) {}

cLogFileAppender::~cLogFileAppender() {
    close();
}

bool cLogFileAppender::openFile(bool truncate) {
    mFd = vutil::openAppend(mFileName.c_str(), truncate, &mRefusal);
    return mFd >= 0;
}

bool cLogFileAppender::isOpen() const {
    vsync::cLock lock(mMutex);
    return mFd >= 0;
}

std::string cLogFileAppender::refusal() const {
    vsync::cLock lock(mMutex);
    return mRefusal;
}

void cLogFileAppender::closeFile() {
    if (!mStderr && mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

void cLogFileAppender::close() {
    vsync::cLock lock(mMutex);
    closeFile();
}

bool cLogFileAppender::reopen() {
    if (mStderr) {
        return true;
    }
    vsync::cLock lock(mMutex);
    closeFile();
    return openFile(false);
}

void cLogFileAppender::_append(const log4cpp::LoggingEvent& event) {
    std::string text = _getLayout().format(event);
    vsync::cLock lock(mMutex);
    if (mFd < 0 && !openFile(false)) {  // a roll-over could not open the new file
        noteFailure(0);
        return;
    }
    if (mCutShort) {
        text.insert(0, "\n");
    }
    size_t written = 0;
    int err = writeAll(mFd, text, &written);
    if (err != 0) {
        mCutShort = mCutShort || written > 0;
        noteFailure(err);
        return;
    }
    mCutShort = false;
    noteSuccess();
    if (mMaxFileSize > 0) {
        off_t size = lseek(mFd, 0, SEEK_END);
        if (size >= 0 && static_cast<size_t>(size) >= mMaxFileSize) {
            rollOver();
        }
    }
}

void cLogFileAppender::rollOver() {
    ::close(mFd);
    mFd = -1;
    std::string older = backupName(mFileName, mMaxBackupIndex, mMaxBackupIndex);
    remove(older.c_str());
    for (unsigned int i = mMaxBackupIndex; i > 1; --i) {
        std::string newer = backupName(mFileName, i - 1, mMaxBackupIndex);
        rename(newer.c_str(), older.c_str());
        older = newer;
    }
    rename(mFileName.c_str(), older.c_str());
    openFile(false);  // when it cannot, the next line tries again
}

void cLogFileAppender::noteFailure(int err) {
    ++mLost;
    const std::string why = err != 0 ? strerror(err) : mRefusal;
    auto now = std::chrono::steady_clock::now();
    if (!mFailing.load()) {
        mFailing = true;
        mLastReport = now;
        say("cannot write to " + mShownName + " (" + why +
            "); its lines are lost until it can be written again");
    } else if (now - mLastReport >= kReportInterval) {
        mLastReport = now;
        say("still cannot write to " + mShownName + " (" + why + "); " + std::to_string(mLost) +
            " lines lost so far");
    }
}

void cLogFileAppender::noteSuccess() {
    if (mFailing.load()) {
        mFailing = false;
        say(mShownName + " written again; " + std::to_string(mLost) + " lines were lost");
        mLost = 0;
    }
}
