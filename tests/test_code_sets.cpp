// Signed code sets as a unit judges them, over real signify-openbsd keys and
// signatures made here, and the center's `dorvanectl codes pack` that makes
// their message.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "src/code_sets.h"
#include "src/code_spool.h"
#include "tests/signify_keys.h"
#include "tests/test_daemon.h"
#include "tests/test_util.h"

using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

std::string message(const std::string& site, const std::string& unit, const std::string& version,
                    const std::string& csv) {
    return "dorvane-codes 1\nsite " + site + "\nunit " + unit + "\nversion " + version + "\n\n" +
           csv;
}

std::string sha256(const std::string& bytes) {
    unsigned char d[crypto_hash_sha256_BYTES];
    char hex[2 * sizeof(d) + 1];
    crypto_hash_sha256(d, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return sodium_bin2hex(hex, sizeof(hex), d, sizeof(d));
}

// A unit's keys folder with key "a", and key "b" that only the center has.
class Keys {
public:
    Keys() { testutil::makeSignifyKeys(dir.path()); }
    // The embedded-signature file of msg signed with key ("a" or "b").
    std::string sign(const std::string& msg, const std::string& key) {
        writeFile(dir.file("msg"), msg);
        testutil::signifySign(dir.path(), key, dir.file("msg"), dir.file("msg.sig"));
        return readFile(dir.file("msg.sig"));
    }
    vsign::Unit unit() const {
        vsign::Unit u;
        u.site = "hq";
        u.name = "u1";
        u.keysDir = dir.file("keys");
        u.mark = 42;
        u.markSha256 = sha256(kMark);
        return u;
    }

    TempDir dir;
    static constexpr const char* kCsv = "code,reader\n04A1,Door1\n04B2,Lobby\n";
    const std::string kMark = message("hq", "*", "42", kCsv);
};

struct Case {
    const char* name;
    std::function<std::string(Keys&)> payload;
    vsign::eSetOutcome outcome;
    std::string reason;  // a part of it (SET_REFUSED)
    size_t codes;        // SET_APPLY
    // Changes the unit, or the files, before the set is judged (and puts
    // the files back after, so the next case starts clean).
    std::function<void(Keys&, vsign::Unit*)> before = nullptr;
    std::function<void(Keys&)> after = nullptr;
};

std::function<std::string(Keys&)> signedBy(const std::string& key, const std::string& msg) {
    return [=](Keys& k) { return k.sign(msg, key); };
}
std::function<std::string(Keys&)> signedSet(const std::string& msg) {
    return signedBy("a", msg);
}

// Every verdict a unit can reach, each case on the same keys; refused sets
// say why. Mark: version 42, set by Keys::kMark.
TEST(CodeSets, VerdictsOverRealSignatures) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "keys must be root's: run as root";
    }
    const std::string csv = Keys::kCsv;
    const std::string v43 = message("hq", "*", "43", csv);
    const std::string big = message("hq", "*", "43", csv + "0C0C,Door3\n");
    const std::vector<Case> cases = {
        {"site-wide set", signedSet(v43), vsign::SET_APPLY, "", 2},
        {"this unit's set", signedSet(message("hq", "u1", "43", "04A1,Door1\r\n")),
         vsign::SET_APPLY, "", 1},
        {"empty set", signedSet(message("hq", "*", "43", "")), vsign::SET_APPLY, "", 0},
        {"header line only", signedSet(message("hq", "*", "43", "code,reader\n")), vsign::SET_APPLY,
         "", 0},
        {"highest version", signedSet(message("hq", "*", "9007199254740991", csv)),
         vsign::SET_APPLY, "", 2},
        {"same version and digest", signedSet(message("hq", "*", "42", csv)), vsign::SET_UNCHANGED,
         "", 0},
        {"empty payload", [](Keys&) { return std::string(); }, vsign::SET_NONE, "", 0},
        {"bad signature",
         [&](Keys& k) {
             std::string p = k.sign(v43, "a");
             p[p.size() - 3] ^= 1;  // in the message
             return p;
         },
         vsign::SET_REFUSED, "the signature does not verify with key", 0},
        {"key not in the folder", signedBy("b", v43), vsign::SET_REFUSED,
         "which is not in the keys folder", 0},
        {"not signed", [&](Keys&) { return std::string(v43); }, vsign::SET_REFUSED,
         "not a signed code set", 0},
        {"keys folder writable by others", signedSet(v43), vsign::SET_REFUSED,
         "writable by others than root (mode 0777)", 0,
         [](Keys& k, vsign::Unit*) { chmod(k.dir.file("keys").c_str(), 0777); },
         [](Keys& k) { chmod(k.dir.file("keys").c_str(), 0755); }},
        {"key file writable by its group", signedSet(v43), vsign::SET_REFUSED,
         "a.pub: writable by others than root (mode 0664)", 0,
         [](Keys& k, vsign::Unit*) { chmod(k.dir.file("keys/a.pub").c_str(), 0664); },
         [](Keys& k) { chmod(k.dir.file("keys/a.pub").c_str(), 0644); }},
        {"keys folder not root's", signedSet(v43), vsign::SET_REFUSED, "owned by uid 1, not root",
         0, [](Keys& k, vsign::Unit*) { EXPECT_EQ(0, chown(k.dir.file("keys").c_str(), 1, 0)); },
         [](Keys& k) { EXPECT_EQ(0, chown(k.dir.file("keys").c_str(), 0, 0)); }},
        {"keys folder a symbolic link", signedSet(v43), vsign::SET_REFUSED,
         "a symbolic link, which is not followed", 0,
         [](Keys& k, vsign::Unit* u) {
             EXPECT_EQ(0, symlink("keys", k.dir.file("link").c_str()));
             u->keysDir = k.dir.file("link");
         },
         [](Keys& k) { unlink(k.dir.file("link").c_str()); }},
        {"key file a symbolic link", signedBy("b", v43), vsign::SET_REFUSED,
         "b.pub: a symbolic link, which is not followed", 0,
         [](Keys& k, vsign::Unit*) {
             EXPECT_EQ(0, symlink("../b.pub", k.dir.file("keys/b.pub").c_str()));
         },
         [](Keys& k) { unlink(k.dir.file("keys/b.pub").c_str()); }},
        {"another site", signedSet(message("hq2", "*", "43", csv)), vsign::SET_REFUSED,
         "for site hq2, not hq", 0},
        {"another unit", signedSet(message("hq", "u2", "43", csv)), vsign::SET_REFUSED,
         "for unit u2, not u1", 0},
        {"version below the mark", signedSet(message("hq", "*", "41", csv)), vsign::SET_REFUSED,
         "version 41 is not above 42", 0},
        {"the mark's version, another digest", signedSet(message("hq", "*", "42", "04A1,Door1\n")),
         vsign::SET_REFUSED, "version 42 is not above 42 (it was applied with another digest)", 0},
        {"header out of order", signedSet("dorvane-codes 1\nunit *\nsite hq\nversion 43\n\n" + csv),
         vsign::SET_REFUSED, "header line 2 (\"unit *\") is not \"site NAME\"", 0},
        {"extra header line",
         signedSet("dorvane-codes 1\nsite hq\nunit *\nversion 43\nby: center\n\n" + csv),
         vsign::SET_REFUSED, "header line 5 (\"by: center\") is not empty", 0},
        {"version with a leading zero", signedSet(message("hq", "*", "043", csv)),
         vsign::SET_REFUSED, "header line 4", 0},
        {"version past 2^53 - 1", signedSet(message("hq", "*", "9007199254740992", csv)),
         vsign::SET_REFUSED, "header line 4", 0},
        {"header with CRLF",
         signedSet("dorvane-codes 1\r\nsite hq\r\nunit *\r\nversion 43\r\n\r\n"),
         vsign::SET_REFUSED, "header line 1", 0},
        {"CSV line the rules refuse",
         signedSet(message("hq", "*", "43",
                           csv + "0C\x01"
                                 "0,Door3\n")),
         vsign::SET_REFUSED, "CSV line 4: the code holds a control character (\\x01)", 0},
        {"code for two readers", signedSet(message("hq", "*", "43", csv + "04A1,Door2\n\x80,x\n")),
         vsign::SET_REFUSED,
         "CSV line 4: code 04A1 is given to reader Door1 on line 2 (and 1 more lines refused)", 0},
        {"as large as maxSetBytes", signedSet(big), vsign::SET_APPLY, "", 3,
         [&](Keys&, vsign::Unit* u) { u->maxSetBytes = big.size(); }},
        {"too large", signedSet(big), vsign::SET_REFUSED, "larger than maxSetBytes (", 0,
         [&](Keys&, vsign::Unit* u) { u->maxSetBytes = big.size() - 1; }},
        {"too large, refused before the keys are read", signedSet(big + std::string(2000, 'x')),
         vsign::SET_REFUSED, "larger than maxSetBytes (", 0,
         [&](Keys& k, vsign::Unit* u) {
             u->maxSetBytes = big.size();
             chmod(k.dir.file("keys").c_str(), 0777);
         },
         [](Keys& k) { chmod(k.dir.file("keys").c_str(), 0755); }},
    };
    Keys keys;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string payload = c.payload(keys);
        vsign::Unit unit = keys.unit();
        if (c.before) {
            c.before(keys, &unit);
        }
        std::vector<csv::Line> lines;
        vsign::Verdict v = code_sets::decide(payload.data(), payload.size(), unit, &lines);
        if (c.after) {
            c.after(keys);
        }
        EXPECT_EQ(c.outcome, v.outcome) << v.reason;
        EXPECT_NE(std::string::npos, v.reason.find(c.reason)) << v.reason;
        EXPECT_EQ(c.outcome == vsign::SET_REFUSED, !v.reason.empty());
        if (c.outcome == vsign::SET_APPLY) {
            ASSERT_EQ(c.codes, lines.size());
            // The digest is the message's: what follows the signature line.
            size_t head = payload.find('\n', payload.find('\n') + 1) + 1;
            EXPECT_EQ(sha256(payload.substr(head)), v.sha256);
            EXPECT_EQ(payload.substr(v.csvOffset), payload.substr(payload.find("\n\n") + 2));
        }
    }
    // The applied codes are the CSV's, in order.
    std::vector<csv::Line> lines;
    std::string p = keys.sign(v43, "a");
    code_sets::decide(p.data(), p.size(), keys.unit(), &lines);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("04A1", lines[0].code);
    EXPECT_EQ("Door1", lines[0].reader);
    EXPECT_EQ("04B2", lines[1].code);
    EXPECT_EQ("Lobby", lines[1].reader);
}

// The center's steps: pack a CSV, sign it with signify, and a unit applies
// exactly the CSV's codes.
TEST(CodeSets, PackSignApply) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "keys must be root's: run as root";
    }
    Keys keys;
    const std::string csv =
        "\xef\xbb\xbf"
        "code,reader\r\n04A1,Door1\r\n0C0C,Lobby\r\n04A1,Door1\r\n";
    writeFile(keys.dir.file("set.csv"), csv);
    std::vector<std::string> pack = {
        DORVANE_CTL_BIN, "codes", "pack",      "--site", "hq",
        "--unit",        "u1",    "--version", "43",     keys.dir.file("set.csv")};
    testutil::ToolRun out = testutil::runTool(pack);
    ASSERT_EQ(0, out.status) << out.err;
    EXPECT_EQ(message("hq", "u1", "43", csv), out.out);  // the CSV as given
    pack.insert(pack.end(), {"-o", keys.dir.file("set.msg")});
    ASSERT_EQ(0, testutil::runTool(pack).status);
    EXPECT_EQ(out.out, readFile(keys.dir.file("set.msg")));

    std::string payload = keys.sign(out.out, "a");
    std::vector<csv::Line> lines;
    vsign::Verdict v = code_sets::decide(payload.data(), payload.size(), keys.unit(), &lines);
    ASSERT_EQ(vsign::SET_APPLY, v.outcome) << v.reason;
    EXPECT_EQ(43u, v.version);
    ASSERT_EQ(2u, lines.size());  // the repeated line counts once
    EXPECT_EQ("04A1", lines[0].code);
    EXPECT_EQ("Door1", lines[0].reader);
    EXPECT_EQ("0C0C", lines[1].code);
    EXPECT_EQ("Lobby", lines[1].reader);
}

// What pack refuses, it refuses before a byte is written.
TEST(CodeSets, PackRefusals) {
    TempDir dir;
    writeFile(dir.file("bad.csv"), "04A1,Door1\n04A1,Door2\n0C0C,Lob\x1b[2Jby\n");
    writeFile(dir.file("good.csv"), "04A1,Door1\n");
    writeFile(dir.file("empty.csv"), "code,reader\n");
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string said;
    };
    const std::vector<Row> rows = {
        {{"--version", "7", dir.file("bad.csv")}, 1, "line 2: code 04A1 is given to reader Door1"},
        {{"--version", "7", dir.file("bad.csv")}, 1, "line 3: the reader name holds a control"},
        {{"--version", "7", dir.file("empty.csv")}, 1, "holds no code"},
        {{"--version", "7", "--force", dir.file("empty.csv")}, 0, "set of 0 codes"},
        {{"--version", "07", dir.file("good.csv")}, 2, "--version needs a number"},
        {{"--version", "9007199254740992", dir.file("good.csv")}, 2, "--version needs a number"},
        {{"--version", "7", "--site", "x", dir.file("good.csv")}, 2, "--site is given twice"},
        {{"--version", "7", "-o", dir.file("good.csv"), dir.file("good.csv")},
         1,
         "is the CSV file itself"},
        {{"--version", "7", dir.file("missing.csv")}, 1, "missing.csv"},
    };
    for (const Row& r : rows) {
        std::vector<std::string> argv = {DORVANE_CTL_BIN, "codes", "pack", "--site",           "hq",
                                         "--unit",        "*",     "-o",   dir.file("out.msg")};
        if (r.args.size() > 2 && r.args[2] == "-o") {
            argv.resize(argv.size() - 2);
        }
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        SCOPED_TRACE(r.said);
        testutil::ToolRun run = testutil::runTool(argv);
        EXPECT_EQ(r.status, run.status) << run.err;
        EXPECT_NE(std::string::npos, run.err.find(r.said)) << run.err;
        EXPECT_EQ(r.status == 0, access(dir.file("out.msg").c_str(), F_OK) == 0);
        unlink(dir.file("out.msg").c_str());
    }
    EXPECT_EQ("04A1,Door1\n", readFile(dir.file("good.csv")));
    testutil::ToolRun unit =
        testutil::runTool({DORVANE_CTL_BIN, "codes", "pack", "--site", "hq", "--unit", "a b",
                           "--version", "7", dir.file("good.csv")});
    EXPECT_EQ(2, unit.status);
    EXPECT_EQ("", unit.out);
}

// STATEDIR/in-force as the link reads it: the set it says when it is of its
// form; when it is there but cannot be read or is not of that form, one line
// and version 0 (no set), never the set the link last saw applied.
TEST(CodeSets, InForceVouchesOnlyForWhatItSays) {
    const std::string sha(64, 'a');
    const std::string line = "43 " + sha + "\n";
    struct {
        const char* name;
        std::function<void(const TempDir&, const std::string&)> make;
        bool present;
        uint64_t version;
        bool said;  // a line in why
    } cases[] = {
        {"missing", [](const TempDir&, const std::string&) {}, false, 0, false},
        {"by hand", [](const TempDir&, const std::string& f) { writeFile(f, "0\n"); }, true, 0,
         false},
        {"a set", [&](const TempDir&, const std::string& f) { writeFile(f, line); }, true, 43,
         false},
        {"empty", [](const TempDir&, const std::string& f) { writeFile(f, ""); }, true, 0, true},
        {"garbage", [](const TempDir&, const std::string& f) { writeFile(f, "43 zz\x01\n"); }, true,
         0, true},
        {"unended", [&](const TempDir&, const std::string& f) { writeFile(f, line.substr(0, 66)); },
         true, 0, true},
        {"0 and a digest",
         [&](const TempDir&, const std::string& f) { writeFile(f, "0 " + sha + "\n"); }, true, 0,
         true},
        {"huge",
         [&](const TempDir&, const std::string& f) {
             writeFile(f, line + std::string(1 << 20, '7'));
         },
         true, 0, true},
        {"a symlink",
         [&](const TempDir& d, const std::string& f) {
             writeFile(d.file("set"), line);
             ASSERT_EQ(0, symlink(d.file("set").c_str(), f.c_str()));
         },
         true, 0, true},
        {"a directory",
         [](const TempDir&, const std::string& f) { ASSERT_EQ(0, mkdir(f.c_str(), 0755)); }, true,
         0, true},
        {"a fifo",
         [](const TempDir&, const std::string& f) { ASSERT_EQ(0, mkfifo(f.c_str(), 0644)); }, true,
         0, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        c.make(dir, dir.file("in-force"));
        code_spool::Mark m{7, "x"};
        bool present = !c.present;
        std::string why;
        EXPECT_TRUE(code_spool::readInForce(dir.path(), &m, &present, &why)) << c.name;
        EXPECT_EQ(c.present, present) << c.name;
        EXPECT_EQ(c.version, m.version) << c.name;
        EXPECT_EQ(c.version != 0 ? sha : "", m.sha256) << c.name;
        EXPECT_EQ(c.said, !why.empty()) << c.name << ": " << why;
        EXPECT_EQ(std::string::npos, why.find('\n')) << c.name;
    }
}

// The applier's outcome files as the link reads them to publish: only the
// applier's own form is taken, so junk in the spool never reaches the
// retained messages as broken JSON or a set that was never applied.
TEST(CodeSets, OutcomeFilesTakenOnlyInTheApplierForm) {
    using code_spool::Outcome;
    const std::string sha(64, 'a'), time = "2026-12-09T17:25:45.123456Z";
    Outcome refused;
    refused.kind = Outcome::REFUSED;
    refused.version = 41;
    refused.sha256 = sha;
    refused.reason = "a \"quote\", a \\ and \x01\n";
    refused.time = time;
    Outcome pending = refused;
    pending.kind = Outcome::PENDING;
    pending.version = 0;
    pending.sha256 = "";
    Outcome applied = refused;
    applied.kind = Outcome::APPLIED;
    applied.count = 2;
    applied.reason = "";
    for (const Outcome& o : {refused, pending, applied}) {
        Outcome read;
        ASSERT_TRUE(code_spool::parseOutcomeFile(code_spool::outcomeFileText(o), &read))
            << code_spool::outcomeFileText(o);
        EXPECT_EQ(code_spool::outcomeFileText(o), code_spool::outcomeFileText(read));
    }
    const std::string refusedText = code_spool::outcomeFileText(refused);
    const char* const junk[] = {
        "",
        "{\"applied\":{}}",
        "{\"refused\":{\"version\":1}}",
        "{\"pending\":{\"time\":\""
        "2026-12-09T17:25:45.123456Z"
        "\"}}",
    };
    std::vector<std::string> texts(std::begin(junk), std::end(junk));
    // The applier's text with one piece changed.
    auto changed = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string good = code_spool::outcomeFileText(applied);
    for (const std::string& bad : {
             changed(good, "}}", "}}\n"),
             changed(good, ",\"time\"", ",\"x\":1,\"time\""),
             changed(good, "\"count\":2,\"unpaired\":0", "\"unpaired\":0,\"count\":2"),
             changed(good, "\"count\":2", "\"count\":02"),
             changed(good, "\"count\":2", "\"count\":123456789012345678901"),
             changed(good, time, "z"),
             changed(good, time, "9999-99-99T99:99:99.999999Z "),
             changed(good, "\"version\":41", "\"version\":18446744073709551615"),
             changed(good, "\"version\":41", "\"version\":9007199254740992"),
             changed(good, sha, "zz"),
             refusedText.substr(0, refusedText.size() - 1),
             changed(refusedText, "\\u0001", "\x01"),
             changed(refusedText, "\\\"quote", "\\u0022quote"),
         }) {
        texts.push_back(bad);
    }
    for (const std::string& text : texts) {
        Outcome read = refused;
        EXPECT_FALSE(code_spool::parseOutcomeFile(text, &read)) << text;
        EXPECT_EQ(refusedText, code_spool::outcomeFileText(read)) << text;
    }
}

// The files the applier writes in the link's folder (mark, in-force, the
// outcomes) go beside first: whatever stands at that name (a fifo, a
// symlink, a hard link to another file) is replaced, never opened, so the
// applier neither hangs nor writes into another file.
TEST(CodeSets, WrittenBesideWhateverStandsThere) {
    struct {
        const char* name;
        std::function<void(const TempDir&, const std::string&)> plant;
    } cases[] = {
        {"a fifo", [](const TempDir&, const std::string& f) { mkfifo(f.c_str(), 0644); }},
        {"a symlink",
         [](const TempDir& d, const std::string& f) {
             ASSERT_EQ(0, symlink(d.file("other").c_str(), f.c_str()));
         }},
        {"a hard link",
         [](const TempDir& d, const std::string& f) {
             ASSERT_EQ(0, link(d.file("other").c_str(), f.c_str()));
         }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        writeFile(dir.file("other"), "another file\n");
        c.plant(dir, dir.file("in-force.new"));
        std::string why;
        EXPECT_TRUE(code_spool::writeInForce(dir.path(), {7, std::string(64, 'b')}, &why))
            << c.name << ": " << why;
        EXPECT_EQ("7 " + std::string(64, 'b') + "\n", readFile(dir.file("in-force"))) << c.name;
        EXPECT_EQ("another file\n", readFile(dir.file("other"))) << c.name;
    }
}

}  // namespace
