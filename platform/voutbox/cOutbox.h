// cOutbox: the writer of an outbox folder, a bounded queue of events on disk
// that another process (the link) reads and empties. This component knows
// nothing of what the events mean: it numbers them, appends them, closes and
// bounds the files, and says what it had to drop.
//
// The folder (the reader relies on every rule here):
// - One event per line: a JSON object, then "\n"; a line is at most
//   kMaxLine bytes (4 KiB + 1), written with ONE write(2) on an O_APPEND
//   descriptor, so a reader sees whole lines or, after a power loss, one
//   line cut short at the end of a file.
// - `current`: the only file appended to. Created with
//   O_WRONLY|O_APPEND|O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, then fchmod 0640.
// - `closed-NNNNNNNNNNNNNNNNNNNN` (20 decimal digits, zero-padded): `current`
//   is closed by rename(2) to the highest closed number present + 1 (1 when
//   none is present) once it holds closeSize() bytes or more. Names sort in
//   the order written while a closed file remains; with none left the
//   numbers may begin again at 1.
// - At open(), a leftover non-empty `current` is closed the same way before
//   anything is written (an empty one is removed), so a file never holds the
//   events of two starts.
// - `status`: a one-line text replaced through `status.tmp` and rename(2)
//   (writeStatus()).
// - The bound: the sum of the sizes of `current` and the closed files
//   present (other names do not count) stays within the limit. When a line
//   would pass it, the folder is measured again (the reader removes closed
//   files it is done with) and, while it still would, the oldest closed
//   file is removed and a `lost` event of reason "overflow" is appended for
//   the access events it held (one per start of the writer whose ids it
//   held: first, last and the exact count; lines that cannot be read are
//   not counted).
// - Ids: a random 64-bit start number drawn from getrandom(2) at open(), 16
//   lower-case hex digits, "-", the line's number since open() from 1. Every
//   line takes the next number, `lost` events included, so ids are unique
//   for ever and increase within one start.
// - The folder is made (mode 2770, set explicitly) when it is missing.
//
// Line form: {"v":1,"type":"TYPE","id":"ID","time":"TIME"MEMBERS} where
// MEMBERS is what the caller gives (",\"seq\":7,..."); TIME is RFC 3339 UTC
// with microseconds. A `lost` event (written here) has the members
// "reason", "count", "first" and "last".
//
// Failures: a folder that is missing and cannot be made, not a folder, full
// or unwritable never stops the caller. The event is counted as lost (its id
// is spent), one ERROR line on the log category "Outbox" says so at once and
// again at most once a minute while it lasts, and failing() is true. Every
// append tries again; the first that works logs a line with how many events
// were lost and appends a `lost` event of reason "unwritable" with their
// first, last and count before the event itself.
//
// Threads: one thread appends (the caller's event thread); failing() and
// lost counts may be read from any thread; writeStatus() may be called from
// another thread (it touches only `status` and `status.tmp`). Ownership: the
// object owns its descriptor; texts are copied. Nothing throws but
// std::bad_alloc. Every operation is bounded: it does its few system calls
// (reading the closed files present only at open()), and waits on nothing
// but the file system.
#ifndef DORVANE_PLATFORM_VOUTBOX_COUTBOX_H
#define DORVANE_PLATFORM_VOUTBOX_COUTBOX_H

#include <time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "vlog/cVlog.h"

namespace voutbox {

// A line's bytes at most, its "\n" included.
constexpr size_t kMaxLine = 4096 + 1;
// The smallest bound the writer works with: room for a few closed files.
constexpr uint64_t kMinLimit = 64 * 1024;

class cOutbox : public cVlog {
public:
    // The folder's path and its bound in bytes (at least kMinLimit: a
    // smaller one is taken as kMinLimit). Touches nothing until open().
    cOutbox(const std::string& folder, uint64_t limit);
    ~cOutbox() override;

    cOutbox(const cOutbox&) = delete;
    cOutbox& operator=(const cOutbox&) = delete;

    // Draws the start number, makes the folder when missing, closes a
    // leftover `current` and reads the ids the closed files hold. False
    // (and failing()) when the folder cannot be used now; appends try again.
    bool open();

    // Appends one event of type (e.g. "access") with the given members,
    // stamped with time `when` (CLOCK_REALTIME). The id it took goes to *id
    // when not null. False when the line was lost (see above) or is longer
    // than kMaxLine (then nothing is written and no id is spent).
    bool append(const char* type, const std::string& members, const timespec& when,
                std::string* id = nullptr);

    // Replaces `status` with text and "\n" (through `status.tmp`); false
    // when it could not. Logs nothing (the append path says the folder is
    // failing).
    bool writeStatus(const std::string& text);

    // True while the last append could not be written.
    bool failing() const { return mFailing.load(); }

    // The size at which `current` is closed: a sixteenth of the bound, at
    // least 4 lines and at most 1 MiB, so that the bound drops little at a
    // time and the reader can remove acknowledged files soon.
    uint64_t closeSize() const { return mCloseSize; }
    const std::string& startNumber() const { return mStart; }

    // RFC 3339 UTC with microseconds: "2026-12-09T17:25:45.123456Z".
    static std::string formatTime(const timespec& when);

    // The ids of access events one closed file holds, per start (exposed
    // for the tests and the reader's tests).
    struct Span {
        std::string start;  // 16 hex digits
        uint64_t first, last, count;
    };

private:
    struct ClosedFile {
        uint64_t number;
        uint64_t size;
        std::deque<Span> spans;
    };
    // Every private operation is called on the appending thread.
    bool ensureCurrent(int* err, std::string* why);
    bool closeCurrent();
    bool rescan();
    bool makeRoom(uint64_t bytes);
    bool writeLine(const std::string& line, int* err);
    std::string buildLine(const char* type, uint64_t n, const std::string& members,
                          const timespec& when) const;
    void noteSpan(uint64_t n);
    void noteFailure(const std::string& why);
    void noteRecovery(const timespec& when);

    const std::string mFolder;
    const uint64_t mLimit;
    const uint64_t mCloseSize;
    std::string mStart;
    uint64_t mNext;  // the next line's number
    int mFd;         // `current`, or -1
    uint64_t mCurrentSize;
    std::deque<Span> mCurrentSpans;    // access ids in `current`
    std::deque<ClosedFile> mClosed;    // oldest first
    uint64_t mClosedSize;
    std::atomic<bool> mFailing;
    uint64_t mLostFirst, mLostLast, mLostCount;  // access ids not written
    struct timespec mLastReport;
    std::mutex mStatusMutex;
};

}  // namespace voutbox

#endif
