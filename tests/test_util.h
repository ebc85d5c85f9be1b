// Small helpers shared by the tests: temporary directories, files, and
// capture of standard output.
#ifndef DORVANE_TESTS_TEST_UTIL_H
#define DORVANE_TESTS_TEST_UTIL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);
// Polls done every 20 ms until it holds (true) or timeoutMs have passed
// (false): a test waits for a state with a deadline, never for a time.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// The lines of the file at path (splitLines) once it holds n or more, or
// as they are after timeoutMs.
std::vector<std::string> waitLines(const std::string& path, size_t n, int timeoutMs = 20000);
// How many of lines contain text.
size_t countContaining(const std::vector<std::string>& lines, const std::string& text);
// How many times what occurs in text (overlapping ones too).
size_t occurrences(const std::string& text, const std::string& what);
// text n times.
std::string repeated(const std::string& text, int n);
// The names in folder dir that begin with prefix, sorted (all of them, with
// "." and "..", by default); none when dir cannot be read.
std::vector<std::string> dirNames(const std::string& dir, const std::string& prefix = "");
// log4cpp's property lines for appender name of type (a file appender)
// writing file through a PatternLayout of pattern, with each of settings
// ("maxFileSize=20") set on it.
std::string logAppender(const std::string& name, const std::string& type, const std::string& file,
                        const std::string& pattern = "%m%n",
                        const std::vector<std::string>& settings = {});
// The lines that send category at priority to appender, and only there.
std::string logRoute(const std::string& category, const std::string& appender,
                     const std::string& priority = "INFO");
// The value of a top-level string or number member of a flat JSON text, as
// the outbox's lines are ("" when absent).
std::string jsonMember(const std::string& json, const std::string& key);
// The number of an event id ("START-NUMBER").
inline uint64_t idNumber(const std::string& id) {
    return std::stoull(id.substr(id.find('-') + 1));
}
// The peak resident memory of process pid in kB (under a cross build's
// emulator, the emulator's), or -1 when it cannot be read.
long peakKb(int pid);

// Captures what the process writes to standard output (file descriptor 1)
// between construction and text().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();  // stops the capture and returns what was written

private:
    int mSaved;
    std::string mPath;
    bool mDone;
    std::string mText;
};

// A pairing file with body inside scl_connections, behind a document type
// whose entity &j; expands to ten to the ninth "a" ("billion laughs").
std::string entityBomb(const std::string& body);

// Creates an SQLite file with table "codes" and the given (sc, reader) rows.
void makeCodesDb(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& rows);
// Runs SQL against the database file; fails the test on an error.
void execSql(const std::string& path, const std::string& sql);
// Leaves the database at path (with a table "codes") as a writer killed in
// the middle of a transaction leaves it: part of the write in the file
// (every reader renamed to "Intruder") and the hot journal beside it, put
// in place journal first. A writer that opens it rolls the write back.
void leaveHotJournal(const std::string& path);

}  // namespace testutil

#endif
