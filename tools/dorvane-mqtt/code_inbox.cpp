#include "tools/dorvane-mqtt/code_inbox.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "src/code_sets.h"
#include "src/code_spool.h"
#include "vutil/VFile.h"

namespace mqttlink {

namespace {

using code_spool::Outcome;

constexpr size_t kMaxOutcomeFile = 8192;
constexpr size_t kRefusalsKept = 32;

}  // namespace

cCodeInbox::cCodeInbox(const LinkConfig& config, cVlog& log)
    : mConfig(config), mLog(log), mSpool(code_spool::spoolDir(config.stateDir)) {}

bool cCodeInbox::prepare() {
    if ((mkdir(mConfig.stateDir.c_str(), 0755) != 0 && errno != EEXIST) ||
        (mkdir(mSpool.c_str(), 0755) != 0 && errno != EEXIST)) {
        mLog.warn("cannot make the spool %s: %s: no code set is applied", mSpool.c_str(),
                  strerror(errno));
        return false;
    }
    return true;
}

void cCodeInbox::receive(const char* data, size_t size) {
    if (mConfig.codesKeys.empty()) {
        if (size > 0) {
            mLog.warn("a code set arrived, but codesKeys is not set: no code set is applied");
        }
        return;
    }
    vsign::Unit u;
    u.site = mConfig.site;
    u.name = mConfig.unit;
    u.keysDir = mConfig.codesKeys;
    u.maxSetBytes = static_cast<size_t>(mConfig.maxSetBytes);
    code_spool::Mark mark;
    std::string why;
    if (!code_spool::readMark(mConfig.stateDir, &mark, &why)) {
        mLog.warn("%s: the code set is left alone", why.c_str());
        return;
    }
    u.mark = mark.version;
    u.markSha256 = mark.sha256;
    vsign::Verdict v = code_sets::decide(data, size, u, nullptr);
    if (v.outcome == vsign::SET_REFUSED) {
        if (std::find(mRefusedDigests.begin(), mRefusedDigests.end(), v.sha256) ==
            mRefusedDigests.end()) {
            if (mRefusedDigests.size() >= kRefusalsKept) {
                mRefusedDigests.pop_front();
            }
            mRefusedDigests.push_back(v.sha256);
            mLog.warn("code set refused (version %llu, sha256 %s): %s",
                      static_cast<unsigned long long>(v.version), v.sha256.c_str(),
                      v.reason.c_str());
            Outcome o;
            o.kind = Outcome::REFUSED;
            o.version = v.version;
            o.sha256 = v.sha256;
            o.reason = v.reason;
            o.time = code_spool::now();
            mOwnRefused = {code_spool::outcomeObject(o), o.time};
        }
        return;
    }
    if (v.outcome != vsign::SET_APPLY) {
        return;
    }
    std::string base = mSpool + "/" + code_spool::spoolName(v.version, v.sha256);
    struct stat st;
    if (stat((base + ".set").c_str(), &st) == 0 || stat((base + ".json").c_str(), &st) == 0) {
        return;  // spooled before: the applier has it or has said what became of it
    }
    if (!prepare() ||
        !code_spool::writeFileAtomically(base + ".set", std::string(data, size), &why)) {
        mLog.warn("%s: code set version %llu is not applied", why.c_str(),
                  static_cast<unsigned long long>(v.version));
        return;
    }
    mLog.info("code set version %llu (sha256 %s) verified and spooled for the applier",
              static_cast<unsigned long long>(v.version), v.sha256.c_str());
}

bool stampSettled(const timespec& changed, const timespec& clock) {
    // A change time ahead of the clock (a unit without a real-time clock
    // starts behind the time its files were last changed): a change from
    // now on is stamped with the clock, so it differs as well.
    return clock.tv_sec - changed.tv_sec >= 2 || changed.tv_sec - clock.tv_sec >= 2;
}

void cCodeInbox::readOutcomes() {
    // A change within a second of the last reading may share its time
    // stamp (file times are coarse), so such a spool is read again; one
    // reading a minute bounds any other miss, a clock step for one.
    struct stat st {};
    Stamp now;
    if (stat(mSpool.c_str(), &st) == 0) {
        now = Stamp{true, st.st_ino, st.st_size, st.st_ctim};
    }
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    bool settled = now.present && stampSettled(now.changed, clock);
    if (mSpoolRead && settled && now == mSpoolStamp && mono.tv_sec - mSpoolReadAt.tv_sec < 60) {
        return;
    }
    mSpoolStamp = settled ? now : Stamp{};
    mSpoolRead = true;
    mSpoolReadAt = mono;
    mApplied = mPending = mRefused = Said{};
    mAppliedVersion = 0;
    mAppliedSha256.clear();
    if (DIR* d = opendir(mSpool.c_str())) {
        for (dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
            std::string name = e->d_name, text;
            Outcome o;
            if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0 ||
                !vutil::readBounded((mSpool + "/" + name).c_str(), kMaxOutcomeFile, &text,
                                    nullptr) ||
                !code_spool::parseOutcomeFile(text, &o)) {
                continue;
            }
            Said said{code_spool::outcomeObject(o), o.time};
            if (o.kind == Outcome::APPLIED && o.version >= mAppliedVersion) {
                mAppliedVersion = o.version;
                mAppliedSha256 = o.sha256;
                mApplied = said;
            } else if (o.kind == Outcome::PENDING && said.time > mPending.time) {
                mPending = said;
            } else if (o.kind == Outcome::REFUSED && said.time > mRefused.time) {
                mRefused = said;
            }
        }
        closedir(d);
    }
}

bool cCodeInbox::refresh() {
    readOutcomes();
    const Said& applied = mApplied;
    const Said& pending = mPending;
    Said refused = mRefused.time > mOwnRefused.time ? mRefused : mOwnRefused;
    uint64_t appliedVersion = mAppliedVersion;
    // Pending and refused only when later than the set applied.
    std::string message =
        "{\"v\":1,\"applied\":" + (applied.object.empty() ? "null" : applied.object) +
        ",\"pending\":" + (pending.time > applied.time ? pending.object : "null") +
        ",\"refused\":" + (refused.time > applied.time ? refused.object : "null") + "}";
    code_spool::Mark mark;
    std::string why;
    code_spool::readMark(mConfig.stateDir, &mark, &why);
    std::string sha = mAppliedSha256;
    // The set in force as the applier saw it in the database (version 0
    // after a change by hand); the last set applied when it never said.
    code_spool::Mark inForce;
    if (this->inForce(&inForce)) {
        appliedVersion = inForce.version;
        sha = inForce.sha256;
    }
    std::string codes = "{\"version\":" + std::to_string(appliedVersion) + ",\"sha256\":\"" + sha +
                        "\",\"mark\":" + std::to_string(mark.version) + "}";
    bool changed = mFirst || message != mMessage || codes != mStatusCodes;
    mFirst = false;
    mMessage = message;
    mStatusCodes = codes;
    return changed;
}

bool cCodeInbox::Stamp::operator==(const Stamp& o) const {
    return present == o.present && inode == o.inode && size == o.size &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

bool cCodeInbox::inForce(code_spool::Mark* m) {
    // Read at every refresh (four times a second) it would cost an open and
    // a read each time; it changes once a set is applied or the codes are
    // changed by hand.
    struct stat st {};
    Stamp now;
    if (stat((mConfig.stateDir + "/in-force").c_str(), &st) == 0) {
        now = Stamp{true, st.st_ino, st.st_size, st.st_ctim};
    }
    if (!(now == mInForceStamp)) {
        bool present = false;
        std::string why;
        mInForceKnown =
            code_spool::readInForce(mConfig.stateDir, &mInForce, &present, &why) && present;
        if (!why.empty()) {
            // Said once per change of the file: it is re-read only then.
            mLog.warn("%s: the status names no set in force (version 0)", why.c_str());
        }
        mInForceStamp = now;
    }
    *m = mInForce;
    return mInForceKnown;
}

}  // namespace mqttlink
