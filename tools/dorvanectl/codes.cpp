#include "tools/dorvanectl/codes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "src/code_input.h"
#include "src/csv.h"
#include "tools/dorvanectl/replace.h"
#include "tools/dorvanectl/site.h"
#include "tools/dorvanectl/store.h"
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

// Which of the files the service reads path is ("" for none): an export
// there would truncate it before a line is written.
std::string filesOfTheSite(const std::string& path, const CodesCommand& cmd, const Settings& s) {
    struct stat target, st;
    if (stat(path.c_str(), &target) != 0) {
        return "";
    }
    const std::pair<std::string, const char*> files[] = {
        {s.dblocal, "the database"},
        {s.dblocal + "-journal", "the database's journal"},
        {s.dblocal + "-wal", "the database's -wal file"},
        {s.ioPairFile, "the pairing file"},
        {cmd.config, "the configuration file"}};
    for (const auto& f : files) {
        if (stat(f.first.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            return f.second;
        }
    }
    return "";
}

int exportCodes(const CodesCommand& cmd, const Settings& s) {
    std::vector<Code> rows;
    std::string why;
    std::string site = filesOfTheSite(cmd.file, cmd, s);
    if (!site.empty()) {
        fprintf(stderr, "dorvanectl: %s is %s: nothing written\n", shown(cmd.file).c_str(),
                site.c_str());
        return 1;
    }
    if (!readCodes(s.dblocal, &rows, &why)) {
        fprintf(stderr, "dorvanectl: database %s cannot be read: %s\n", shown(s.dblocal).c_str(),
                shown(why).c_str());
        return 1;
    }
    bool toStdout = cmd.file.empty() || cmd.file == "-";
    std::ofstream file;
    if (!toStdout) {
        file.open(cmd.file, std::ios::binary | std::ios::trunc);
    }
    std::ostream& out = toStdout ? std::cout : file;
    out << csv::kHeader << "\n";
    int left = 0;
    for (const Code& c : rows) {
        std::string line = c.refused.empty() ? csv::format(c.code, c.reader, &why) : "";
        if (line.empty()) {
            fprintf(stderr, "dorvanectl: code %s left out: %s\n", shown(c.code).c_str(),
                    c.refused.empty() ? why.c_str()
                                      : (c.refused + "; the service never matches it").c_str());
            ++left;
        } else {
            out << line << "\n";
        }
    }
    out.flush();
    if (!out) {
        fprintf(stderr, "dorvanectl: cannot write %s\n", shown(cmd.file).c_str());
        return 1;
    }
    return left == 0 ? 0 : 1;
}

int listCodes(const CodesCommand& cmd, const Settings& s) {
    std::vector<Code> rows;
    std::string why;
    if (!readCodes(s.dblocal, &rows, &why)) {
        fprintf(stderr, "dorvanectl: database %s cannot be read: %s\n", shown(s.dblocal).c_str(),
                shown(why).c_str());
        return 1;
    }
    size_t n = 0;
    for (const Code& c : rows) {
        if (cmd.reader.empty() || c.reader == cmd.reader) {
            printf("%-20s %s%s%s\n", shown(c.code).c_str(), shown(c.reader).c_str(),
                   c.refused.empty() ? "" : "  (never matches: ",
                   c.refused.empty() ? "" : (c.refused + ")").c_str());
            ++n;
        }
    }
    printf("%zu codes%s%s\n", n, cmd.reader.empty() ? "" : " of reader ",
           shown(cmd.reader).c_str());
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
