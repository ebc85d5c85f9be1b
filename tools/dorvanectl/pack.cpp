#include "tools/dorvanectl/pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "src/code_input.h"
#include "src/csv.h"
#include "tools/dorvanectl/site.h"
#include "vsign/VCodeSet.h"
#include "vutil/VFile.h"

namespace ctl {
namespace {

// Reads at most limit + 1 bytes of file ("-": standard input), so that a
// CSV too large for any set is refused without being read whole.
bool readCsv(const std::string& file, size_t limit, std::string* text, std::string* why) {
    std::ifstream opened;
    if (file != "-") {
        if (!vutil::isRegularFile(file.c_str(), why)) {
            return false;
        }
        opened.open(file, std::ios::binary);
    }
    std::istream& in = file == "-" ? std::cin : opened;
    char buf[65536];
    while (in && text->size() <= limit) {
        in.read(buf, sizeof(buf));
        text->append(buf, static_cast<size_t>(in.gcount()));
    }
    if (in.bad() || (!in.eof() && text->size() <= limit)) {
        *why = "cannot be read";
        return false;
    }
    return true;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Writes message to cmd.output or standard output; false after saying why
// (a file left half written is removed).
bool writeMessage(const PackCommand& cmd, const std::string& message) {
    bool toStdout = cmd.output.empty() || cmd.output == "-";
    if (!toStdout && cmd.file != "-" && sameFile(cmd.output, cmd.file)) {
        fprintf(stderr, "dorvanectl: %s is the CSV file itself: nothing written\n",
                shown(cmd.output).c_str());
        return false;
    }
    std::ofstream file;
    if (!toStdout) {
        file.open(cmd.output, std::ios::binary | std::ios::trunc);
    }
    std::ostream& out = toStdout ? std::cout : file;
    out.write(message.data(), static_cast<std::streamsize>(message.size()));
    out.flush();
    if (!toStdout) {
        file.close();
    }
    if (!out || (!toStdout && file.fail())) {
        fprintf(stderr, "dorvanectl: cannot write %s\n",
                toStdout ? "standard output" : shown(cmd.output).c_str());
        if (!toStdout) {
            unlink(cmd.output.c_str());  // never a cut message to sign
        }
        return false;
    }
    return true;
}

}  // namespace

std::string packRefusal(const std::string& site, const std::string& unit,
                        const std::string& version, uint64_t* parsed) {
    if (!vsign::isName(site)) {
        return "--site needs a name of 1 to 64 bytes of A-Z a-z 0-9 . _ -";
    }
    if (unit != "*" && !vsign::isName(unit)) {
        return "--unit needs a name of 1 to 64 bytes of A-Z a-z 0-9 . _ -, or '*'";
    }
    if (!vsign::parseVersion(version, parsed)) {
        return "--version needs a number from 1 to " + std::to_string(vsign::kMaxVersion) +
               " without sign or leading zero";
    }
    return "";
}

int pack(const PackCommand& cmd) {
    std::string head = vsign::header(cmd.site, cmd.unit, cmd.version);
    // What a unit with the default maxSetBytes accepts.
    size_t limit = vsign::kDefaultMaxSetBytes - head.size();
    std::string text, why;
    if (!readCsv(cmd.file, limit, &text, &why)) {
        fprintf(stderr, "dorvanectl: %s: %s: nothing written\n", shown(cmd.file).c_str(),
                why.c_str());
        return 1;
    }
    if (text.size() > limit) {
        fprintf(stderr,
                "dorvanectl: %s: the set would be larger than units take by default "
                "(maxSetBytes %zu bytes): nothing written\n",
                shown(cmd.file).c_str(), vsign::kDefaultMaxSetBytes);
        return 1;
    }
    std::vector<csv::Refused> refused;
    std::vector<csv::Line> lines = csv::parse(text, &refused);
    code_input::judgeLines(&lines, &refused, nullptr);
    for (const csv::Refused& r : refused) {
        fprintf(stderr, "dorvanectl: line %zu: %s\n", r.number, r.why.c_str());
    }
    if (!refused.empty()) {
        fprintf(stderr, "dorvanectl: %s: refused lines: nothing written\n",
                shown(cmd.file).c_str());
        return 1;
    }
    if (lines.empty() && !cmd.force) {
        fprintf(stderr,
                "dorvanectl: %s holds no code: a unit applying the set would remove every code "
                "(give --force to make it so): nothing written\n",
                shown(cmd.file).c_str());
        return 1;
    }
    if (!writeMessage(cmd, head + text)) {
        return 1;
    }
    fprintf(stderr, "dorvanectl: set of %zu codes for site %s, unit %s, version %llu written\n",
            lines.size(), cmd.site.c_str(), cmd.unit.c_str(),
            static_cast<unsigned long long>(cmd.version));
    return 0;
}

}  // namespace ctl
