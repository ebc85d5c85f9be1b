#include "src/access_trail.h"

#include <cstdio>
#include <cstring>

#include "src/pAccess.h"
#include "vutil/VText.h"

namespace {

static_assert(cAccessTrail::MAX_CODE_BYTES == pAccess::FIELD_SIZE - 1,
              "the trail writes whole every code the database can hold");
// The longest fixed parts: "seq=FF serial=4294967295 ", "code=" with a
// code quoted and escaped, " omitted=" with six digits (two outputs for each
// of the list's 65,535 entries) and " result=" with room for any result.
const size_t kLongestHead = 25 + 5 + 4 * cAccessTrail::MAX_CODE_BYTES + 2;
const size_t kLongestTail = 15 + 40;
// The room quotes and the cut mark "..." take.
const size_t kCutMarkBytes = 5;
static_assert(kLongestHead + kLongestTail + 8 + 4 * cAccessTrail::MAX_LABEL_BYTES <=
                  cAccessTrail::MAX_LINE_BYTES,
              "the code always fits whole, and a cut reader keeps room of its own");

bool needsQuotes(const char* text, size_t len) {
    if (len == 0) {
        return true;
    }
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == ' ' || c == '"' || c == '=' || c == '\\' || c == '\0') {
            return true;
        }
    }
    return !vutil::isPrintable(text);
}

// The quoted form of text[0, len): its characters, escaped, while they end
// within maxRaw bytes of text and their form within maxInner bytes. Sets
// *whole to whether all of text was taken.
std::string quotedInner(const char* text, size_t len, size_t maxRaw, size_t maxInner, bool* whole) {
    std::string inner;
    char buf[vutil::kMaxEscapedChar];
    size_t i = 0;
    while (i < len) {
        size_t n = 0;
        size_t taken = 1;
        if (text[i] == '"' || text[i] == '\\') {
            buf[0] = '\\';
            buf[1] = text[i];
            n = 2;
        } else {
            taken = vutil::escapeNext(text + i, len - i, buf, &n);
        }
        if (i + taken > maxRaw || inner.size() + n > maxInner) {
            break;
        }
        inner.append(buf, n);
        i += taken;
    }
    *whole = i == len;
    return inner;
}

// text (null reads as "") as a key or value of the line (see the header):
// whole when it holds at most maxRaw bytes and its form at most maxField;
// otherwise cut to both, with "..." inside the quotes. REQUIRES: maxField
// of at least kCutMarkBytes.
std::string quoted(const std::string& bytes, size_t maxRaw, size_t maxField) {
    const char* text = bytes.c_str();
    size_t len = bytes.size();
    if (len <= maxRaw && len <= maxField && !needsQuotes(text, len)) {
        return std::string(text, len);
    }
    bool whole = false;
    std::string inner = quotedInner(text, len, maxRaw, maxField - 2, &whole);
    if (whole) {
        return "\"" + inner + "\"";
    }
    inner = quotedInner(text, len, maxRaw, maxField - kCutMarkBytes, &whole);
    return "\"" + inner + "...\"";
}

std::string quoted(const char* text, size_t maxRaw, size_t maxField) {
    return quoted(std::string(text != nullptr ? text : ""), maxRaw, maxField);
}

const char* resultName(bool lookup, bool reader, bool pairing, unsigned sent, unsigned confirmed,
                       unsigned missing) {
    if (!reader) {
        return "unknown-code";
    }
    if (!pairing) {
        return "no-pairing-record";
    }
    if (sent == 0) {
        return "no-matching-output";
    }
    if (lookup) {
        return "would-toggle";
    }
    return confirmed == sent && missing == 0 ? "toggled" : "partly";
}

}  // namespace

cAccessTrail::cAccessTrail()
    : cVlog("DorvaneAccess"),
      mLookup(false),
      mHasReader(false),
      mNoReader(nullptr),
      mPairing(false),
      mOutputBytes(0),
      mItems(0),
      mSent(0),
      mConfirmed(0),
      mMissing(0) {}

void cAccessTrail::start(const std::string& code) {
    mHead += "code=" + quoted(code, MAX_CODE_BYTES, 4 * MAX_CODE_BYTES + 2);
    mHasReader = false;
    mReader.clear();
    mNoReader = nullptr;
    mPairing = false;
    mOutputs.clear();
    mOutputBytes = 0;
    mItems = 0;
    mSent = mConfirmed = mMissing = 0;
}

void cAccessTrail::begin(unsigned seq, unsigned serial, const char* code) {
    begin(seq, serial, std::string(code != nullptr ? code : ""));
}

void cAccessTrail::begin(unsigned seq, unsigned serial, const std::string& code) {
    char fixed[48];
    snprintf(fixed, sizeof(fixed), "seq=%02X serial=%u ", seq & 0xffu, serial);
    mLookup = false;
    mHead = fixed;
    start(code);
}

void cAccessTrail::beginLookup(const char* code) {
    mLookup = true;
    mHead.clear();
    start(code != nullptr ? code : "");
}

void cAccessTrail::reader(const char* name) {
    mHasReader = true;
    mReader = name != nullptr ? name : "";
}

void cAccessTrail::lookupFailed() {
    mNoReader = "lookup-failed";
}

void cAccessTrail::ambiguousCode() {
    mNoReader = "ambiguous-code";
}

void cAccessTrail::expired() {
    mNoReader = "expired";
}

void cAccessTrail::pairingFound() {
    mPairing = true;
}

void cAccessTrail::output(const char* label, bool set, bool confirmed) {
    ++mSent;
    mConfirmed += confirmed ? 1 : 0;
    addItem(label,
            std::string(set ? "set" : "clear") + (confirmed || mLookup ? "" : "(unconfirmed)"));
}

void cAccessTrail::noOutput(const char* label) {
    ++mMissing;
    addItem(label, "no-output");
}

void cAccessTrail::addItem(const char* label, const std::string& value) {
    ++mItems;
    if (mOutputBytes > MAX_LINE_BYTES) {
        return;  // cannot be written: kept bounded whatever the site holds
    }
    mOutputs.push_back(" " + quoted(label, MAX_LABEL_BYTES, 4 * MAX_LABEL_BYTES + 2) + "=" + value);
    mOutputBytes += mOutputs.back().size();
}

std::string cAccessTrail::line() const {
    const std::string result =
        std::string(" result=") + (mNoReader != nullptr ? mNoReader
                                                        : resultName(mLookup, mHasReader, mPairing,
                                                                     mSent, mConfirmed, mMissing));
    const std::string readerKey = " reader=";
    std::string reader;
    if (mHasReader) {
        reader = readerKey + quoted(mReader.c_str(), MAX_CODE_BYTES, 4 * MAX_CODE_BYTES + 2);
    }
    size_t fixed = mHead.size() + result.size();
    if (fixed + reader.size() + mOutputBytes <= MAX_LINE_BYTES && mOutputs.size() == mItems) {
        std::string out = mHead + reader + result;
        for (const std::string& item : mOutputs) {
            out += item;
        }
        return out;
    }
    // Too long: room for the count of what is left out, then the reader as
    // much as fits, then the outputs in order while they fit.
    fixed += (" omitted=" + std::to_string(mItems)).size();
    if (mHasReader && fixed + reader.size() > MAX_LINE_BYTES) {
        reader = readerKey +
                 quoted(mReader.c_str(), MAX_CODE_BYTES, MAX_LINE_BYTES - fixed - readerKey.size());
    }
    std::string outputs;
    size_t written = 0;
    for (const std::string& item : mOutputs) {
        if (fixed + reader.size() + outputs.size() + item.size() > MAX_LINE_BYTES) {
            break;
        }
        outputs += item;
        ++written;
    }
    std::string out = mHead + reader;
    if (written < mItems) {
        out += " omitted=" + std::to_string(mItems - written);
    }
    return out + result + outputs;
}

void cAccessTrail::finish() {
    if (isEnabled(INFO)) {
        info("%s", line().c_str());
    }
}
