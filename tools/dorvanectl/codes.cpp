#include "tools/dorvanectl/codes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "src/code_input.h"
#include "src/csv.h"
#include "tools/dorvanectl/codes_check.h"
#include "tools/dorvanectl/replace.h"
#include "tools/dorvanectl/set_record.h"
#include "tools/dorvanectl/site.h"
#include "tools/dorvanectl/store.h"
#include "tools/dorvanectl/target.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace ctl {
namespace {

using code_input::inputRefusal;
using code_input::matchRefusal;

// A CSV file larger than this is refused rather than read (a million codes
// take about 20 MB).
const size_t kMaxCsvBytes = 256u << 20;

// Why the pair cannot be given (its fields, then the reader's pairing
// record unless forced), or "".
std::string pairRefusal(const std::string& code, const std::string& reader, const Pairs& pairs,
                        const std::string& pairFile, bool force) {
    std::string why = inputRefusal("sc", code);
    if (why.empty()) {
        why = inputRefusal("reader", reader);
    }
    if (why.empty() && !force && !pairs.winner(reader)) {
        why = "reader " + shown(reader) + " has no record in the pairing file " + shown(pairFile) +
              ": a scan of this code would toggle nothing (give --force to store it anyway)";
    }
    return why;
}

bool readInput(const std::string& file, std::string* text, std::string* why) {
    if (file == "-") {
        text->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    if (!vutil::isRegularFile(file.c_str(), why)) {
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    if (!in || text->size() > kMaxCsvBytes) {
        *why = in ? "larger than 256 MiB" : "cannot be read";
        return false;
    }
    return true;
}

// The import's rows, each line judged, repeats dropped; false after printing
// each refused line on standard error.
bool judgeImport(std::vector<csv::Line>* lines, std::vector<csv::Refused>* refused,
                 const Pairs& pairs, const Settings& s, bool force) {
    code_input::judgeLines(lines, refused, [&](const csv::Line& l) {
        return pairRefusal(l.code, l.reader, pairs, s.ioPairFile, force);
    });
    for (const csv::Refused& r : *refused) {
        fprintf(stderr, "dorvanectl: line %zu: %s\n", r.number, r.why.c_str());
    }
    return refused->empty();
}

int importCodes(const CodesCommand& cmd, const Settings& s) {
    std::string text, why;
    if (!readInput(cmd.file, &text, &why)) {
        fprintf(stderr, "dorvanectl: %s: %s: nothing written\n", shown(cmd.file).c_str(),
                why.c_str());
        return 1;
    }
    std::vector<csv::Refused> refused;
    CodeRows rows = csv::parse(text, &refused);
    text = std::string();  // the rows hold what counts
    Pairs pairs(s.ioPairFile, nullptr);
    if (!judgeImport(&rows, &refused, pairs, s, cmd.force)) {
        fprintf(stderr, "dorvanectl: %s: refused lines: nothing written\n",
                shown(cmd.file).c_str());
        return 1;
    }
    if (rows.empty() && !cmd.force) {
        // Most likely a file cut short on its way, not a wish to lock every door.
        fprintf(stderr,
                "dorvanectl: %s holds no code: importing it would remove every code (give "
                "--force to do so): nothing written\n",
                shown(cmd.file).c_str());
        return 1;
    }
    return replaceDatabase(s.dblocal, rows);
}

// The database's rows, or false after one line that says why. A hot
// journal is said as check says it, and the database is not opened on it:
// the handler would say it a second time, as a raw ERROR line.
bool readRows(const std::string& path, std::vector<Code>* rows) {
    bool hot = false;
    std::string advice = journalAdvice(path, &hot);
    if (hot) {
        fprintf(stderr, "dorvanectl: %s\n", advice.c_str());
        return false;
    }
    std::string why;
    if (!readCodes(path, rows, &why)) {
        fprintf(stderr, "dorvanectl: database %s cannot be read: %s\n", shown(path).c_str(),
                shown(why).c_str());
        return false;
    }
    return true;
}

// Why the row cannot be exported so that an import takes it back as it
// is, or "".
std::string exportRefusal(const Code& c) {
    if (!c.refused.empty()) {
        return c.refused + "; the service never matches it";
    }
    std::string why = inputRefusal("sc", c.code);
    if (why.empty()) {
        why = inputRefusal("reader", c.reader);
    }
    if (why.empty()) {
        csv::format(c.code, c.reader, &why);  // a comma or a quote
    }
    return why;
}

int exportCodes(const CodesCommand& cmd, const Settings& s) {
    std::vector<Code> rows;
    std::string why;
    if (!readRows(s.dblocal, &rows)) {
        return 1;
    }
    bool toStdout = cmd.file.empty() || cmd.file == "-";
    int fd = 1;
    if (!toStdout) {
        fd = openExportTarget(cmd.file, siteFiles(cmd.config, s), &why);
        if (fd < 0) {
            fprintf(stderr, "dorvanectl: %s %s: nothing written\n", shown(cmd.file).c_str(),
                    why.c_str());
            return 1;
        }
    }
    FILE* out = toStdout ? stdout : fdopen(fd, "w");
    if (out == nullptr) {
        ::close(fd);
        fprintf(stderr, "dorvanectl: cannot write %s\n", shown(cmd.file).c_str());
        return 1;
    }
    fprintf(out, "%s\n", csv::kHeader);
    int left = 0;
    for (const Code& c : rows) {
        why = exportRefusal(c);
        if (why.empty()) {
            fprintf(out, "%s,%s\n", c.code.c_str(), c.reader.c_str());
        } else {
            fprintf(stderr, "dorvanectl: code %s left out: %s\n", shown(c.code).c_str(),
                    why.c_str());
            ++left;
        }
    }
    bool written = fflush(out) == 0 && ferror(out) == 0;
    if (!toStdout) {
        written = fclose(out) == 0 && written;
    }
    if (!written) {
        fprintf(stderr, "dorvanectl: cannot write %s\n", shown(cmd.file).c_str());
        return 1;
    }
    return left == 0 ? 0 : 1;
}

// What list writes after a row: that the service never matches it, or why
// the tool would not take it in, since white space at the end of a code or
// reader name shows nothing in a column and the row would read as another's.
std::string listNote(const Code& c) {
    if (!c.refused.empty()) {
        return "  (never matches: " + c.refused + ")";
    }
    std::string why = inputRefusal("sc", c.code);
    if (why.empty()) {
        why = inputRefusal("reader", c.reader);
    }
    return why.empty() ? why : "  (" + why + ")";
}

int listCodes(const CodesCommand& cmd, const Settings& s) {
    std::vector<Code> rows;
    std::string why;
    if (!readRows(s.dblocal, &rows)) {
        return 1;
    }
    size_t n = 0;
    for (const Code& c : rows) {
        if (cmd.reader.empty() || c.reader == cmd.reader) {
            printf("%-20s %s%s\n", shown(c.code).c_str(), shown(c.reader).c_str(),
                   listNote(c).c_str());
            ++n;
        }
    }
    printf("%zu codes%s%s\n", n, cmd.reader.empty() ? "" : " of reader ",
           shown(cmd.reader).c_str());
    SetRecord record;
    if (!readSetRecord(s.dblocal, &record, &why)) {
        fprintf(stderr, "dorvanectl: which code set is in force cannot be read: %s\n",
                shown(why).c_str());
        return 1;
    }
    printf("code set in force: %s\n", describeRecord(record).c_str());
    return 0;
}

int addOne(const CodesCommand& cmd, const Settings& s) {
    Pairs pairs(s.ioPairFile, nullptr);
    std::string why = pairRefusal(cmd.code, cmd.reader, pairs, s.ioPairFile, cmd.force);
    if (!why.empty()) {
        fprintf(stderr, "dorvanectl: %s: nothing written\n", why.c_str());
        return 1;
    }
    return addCode(s.dblocal, cmd.code, cmd.reader);
}

}  // namespace

int codes(const CodesCommand& cmd) {
    Settings s = readSettings(cmd.config.c_str());
    for (const std::string& p : s.problems) {
        fprintf(stderr, "dorvanectl: %s\n", shown(p).c_str());
    }
    if (!s.problems.empty() && cmd.verb != "list" && cmd.verb != "export") {
        fprintf(stderr, "dorvanectl: the configuration does not name the files: nothing written\n");
        return 1;
    }
    if (cmd.verb == "add") {
        return addOne(cmd, s);
    }
    if (cmd.verb == "remove") {
        std::string why = matchRefusal("sc", cmd.code);
        if (!why.empty()) {
            fprintf(stderr, "dorvanectl: %s: nothing removed\n", why.c_str());
            return 1;
        }
        return removeCode(s.dblocal, cmd.code);
    }
    if (cmd.verb == "import") {
        return importCodes(cmd, s);
    }
    if (cmd.verb == "export") {
        return exportCodes(cmd, s);
    }
    return listCodes(cmd, s);
}

}  // namespace ctl
