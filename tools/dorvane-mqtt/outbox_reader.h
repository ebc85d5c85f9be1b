// cOutboxReader: the link's reading side of the outbox folder. It reads the
// events in the order written (the closed files in name order, then
// `current`), follows `current` when the service closes it (by device and
// inode, whatever its new name), and removes closed files that are wholly
// acknowledged. It never writes, renames or truncates `current` or
// `status`.
//
// A line is handed out only whole: a line of `current` without its "\n"
// yet is waited for; one at the end of a closed file (cut short by a power
// loss), and a line longer than the outbox allows, are handed out as
// damaged.
//
// Threads: one thread uses an object. Ownership: the object owns its
// descriptor. Memory: one read buffer of kReadSize bytes plus one line.
// Failure: reported by results; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_OUTBOX_READER_H
#define DORVANE_TOOLS_DORVANE_MQTT_OUTBOX_READER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mqttlink {

// The longest line the outbox holds, its "\n" included.
constexpr size_t kMaxOutboxLine = 4096 + 1;

// Where a line ends: the file (its name when read, device and inode) and the
// byte offset just past the line's "\n".
struct FilePlace {
    std::string name;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t offset = 0;
    bool valid() const { return !name.empty(); }
};

class cOutboxReader {
public:
    explicit cOutboxReader(const std::string& folder);
    ~cOutboxReader();

    cOutboxReader(const cOutboxReader&) = delete;
    cOutboxReader& operator=(const cOutboxReader&) = delete;

    // Puts the reader just past the line at place whose id is lastId (or,
    // afterDamage, a damaged line): at place itself when its file (found by
    // device and inode under any name) still holds that line there;
    // otherwise just past the line with lastId, looked for in the closed
    // files in name order, then `current`; otherwise at the start of the
    // oldest file. Either may be empty (nothing acknowledged yet). False
    // with *why when the folder cannot be listed (call again later).
    bool locate(const FilePlace& place, bool afterDamage, const std::string& lastId,
                std::string* why);

    enum Result {
        kLine,     // *line holds a whole line (without "\n"), *end where it ends
        kDamaged,  // a line that cannot be an event was skipped; *end past it
        kNone,     // nothing more to read now
        kError     // the folder cannot be read now: *line holds why
    };
    // The next line in order.
    Result next(std::string* line, FilePlace* end);

    // Removes the closed files every line of which lies before acked (the
    // place just past the last acknowledged line, whose id is ackedId: ""
    // for a damaged line) when that file still holds that line there. The file being read may
    // go too: once it is gone, the next one is the oldest present. Returns
    // how many it removed; a failure goes to *why.
    int removeAcknowledged(const FilePlace& acked, const std::string& ackedId, std::string* why);

    // The lines from place (or from the oldest file when place is not
    // found) to the end of the outbox: what is not yet acknowledged.
    uint64_t countLinesFrom(const FilePlace& place);

    // The names of the closed files present, in name order, with `current`
    // last when present. False with *why when the folder cannot be read.
    bool list(std::vector<std::string>* names, std::string* why) const;

private:
    bool openFile(const std::string& name, uint64_t offset);
    // The next whole line of the buffer into *line; false (the buffer
    // made ready for more) when it holds none.
    bool takeLine(std::string* line, FilePlace* end, Result* result);
    // The unfinished end of a closed file, when there is one.
    bool takeCutTail(std::string* line, FilePlace* end);
    void closeFile();
    bool isStillCurrent() const;
    // Moves to the file after the one just finished; false when none yet.
    bool advance();
    // The name under which (dev, ino) is present now, or "".
    std::string nameOf(dev_t dev, ino_t ino, const std::vector<std::string>& names) const;
    bool findId(const std::string& id, const std::vector<std::string>& names);

    std::string mFolder;
    int mFd;
    std::string mName;  // the name the open file had when last seen
    dev_t mDev;
    ino_t mIno;
    std::string mBuf;  // bytes of the file from mBufOffset on
    uint64_t mBufOffset;
    size_t mPos;     // the next line's start within mBuf
    bool mSkipping;  // within a line too long: dropping up to its "\n"
};

}  // namespace mqttlink

#endif
