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
//   the events it held (one per run of one start's ids: first, last and the
//   exact count; lines that cannot be read are not counted). Each `lost`
//   event the removed file held is appended again, same reason, first, last
//   and count, with the member "of" naming the id of the line it repeats,
//   so that a reader that had published that line knows it has been told.
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
// Threads: one thread at a time calls open() and append() (the service's
// event thread, and its main thread before that one runs); writeStatus()
// touches only `status`, `status.tmp` and the folder itself, and may be
// called from another thread, one call at a time; failing() from any thread. Ownership: the
// object owns its descriptor; texts are copied. Nothing throws but
// std::bad_alloc. Every operation is bounded: it does its few system calls
// (reading the closed files present only at open()), and waits on nothing
// but the file system.
#ifndef DORVANE_PLATFORM_VOUTBOX_COUTBOX_H
#define DORVANE_PLATFORM_VOUTBOX_COUTBOX_H

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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

    // Replaces `status` with text and "\n" (through `status.tmp`), making
    // the folder when it is missing; false when it could not. Logs nothing
    // (appends say when the folder fails).
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

    // What a file holds, in order: runs of events (reason empty) of one
    // start, and the `lost` events it holds (reason "overflow" or
    // "unwritable", their first, last and count, and their own id in of).
    struct Span {
        std::string start;  // 16 hex digits
        uint64_t first, last, count;
        std::string reason;
        std::string of;
    };
    // The spans of the file at path; a line that is not whole or not of the
    // form written here is not counted.
    static std::vector<Span> readSpans(const std::string& path);

private:
    struct ClosedFile {
        uint64_t number;
        uint64_t size;
        std::vector<Span> spans;
    };
    std::string path(const std::string& name) const;
    // The folder made when missing, `current` open; *why says why not.
    bool ensureCurrent(std::string* why);
    bool prepareFolder(std::string* why);
    // Renames the file at `current` to the next closed name; spans are its
    // access ids (read from the file when null).
    bool closeFile(const std::vector<Span>* spans, uint64_t size);
    void closeCurrent();
    // The closed files present, sizes as they are; ids of files not seen
    // before are read from them.
    void rescan();
    // Removes oldest closed files while bytes more would pass the bound.
    void makeRoom(uint64_t bytes);
    // Writes the pending `lost` events; false (with *why) at the first that
    // fails.
    bool flushPending(const timespec& when, std::string* why);
    bool writeLine(const std::string& line, std::string* why);
    std::string buildLine(const char* type, uint64_t n, const std::string& members,
                          const timespec& when) const;
    void loseUnwritable(uint64_t n);
    void noteFailure(const std::string& why);

    const std::string mFolder;
    const std::string mShownFolder;  // escaped, for log lines
    const uint64_t mLimit;
    const uint64_t mCloseSize;
    std::string mStart;
    uint64_t mNext;  // the next line's number
    int mFd;         // `current`, or -1
    uint64_t mCurrentSize;
    std::vector<Span> mCurrentSpans;  // access ids in `current`
    std::deque<ClosedFile> mClosed;   // by number, oldest first
    uint64_t mClosedSize;
    std::deque<Span> mPending;  // `lost` events not yet written, oldest first
    std::atomic<bool> mFailing;
    bool mCutShort;              // a line was left cut short and could not be taken back
    unsigned long mFailedLines;  // events not written since the outbox last worked
    std::chrono::steady_clock::time_point mLastReport;
};

}  // namespace voutbox

#endif
