#include "access_trail.h"

#include <cstdio>
#include <cstring>

#include "VText.h"

namespace {

// The outputs' share of a line. The rest holds the fixed keys at their
// longest: 4 * MAX_VALUE_BYTES + 5 for code and for reader, about 80 more.
const size_t kOutputBytes = 400;
static_assert(kOutputBytes + 2 * (4 * cAccessTrail::MAX_VALUE_BYTES + 5) + 80 <=
                  cAccessTrail::MAX_LINE_BYTES,
              "a line at its longest fits the log buffer");

bool needsQuotes(const char* text, size_t len) {
    if (len == 0) {
        return true;
    }
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= ' ' || c == 0x7f || c == '"' || c == '=' || c == '\\') {
            return true;
        }
    }
    return false;
}

// text as a key or value of the line (see the header).
std::string quoted(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    size_t len = strlen(text);
    bool cut = len > cAccessTrail::MAX_VALUE_BYTES;
    if (cut) {
        len = cAccessTrail::MAX_VALUE_BYTES;
    }
    if (!cut && !needsQuotes(text, len)) {
        return std::string(text, len);
    }
    std::string inner;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '"' || text[i] == '\\') {
            inner += '\\';
        }
        inner += text[i];
    }
    // Control characters last: the escaping leaves backslashes alone.
    return "\"" + vtext::escape(inner.data(), inner.size()) + (cut ? "...\"" : "\"");
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
      mNoReader(nullptr),
      mPairing(false),
      mSent(0),
      mConfirmed(0),
      mOmitted(0),
      mMissing(0) {}

void cAccessTrail::start(const char* code) {
    mHead += "code=" + quoted(code);
    mReader.clear();
    mNoReader = nullptr;
    mPairing = false;
    mOutputs.clear();
    mSent = mConfirmed = mOmitted = mMissing = 0;
}

void cAccessTrail::begin(unsigned seq, unsigned serial, const char* code) {
    char fixed[48];
    snprintf(fixed, sizeof(fixed), "seq=%02X serial=%u ", seq & 0xffu, serial);
    mLookup = false;
    mHead = fixed;
    start(code);
}

void cAccessTrail::beginLookup(const char* code) {
    mLookup = true;
    mHead.clear();
    start(code);
}

void cAccessTrail::reader(const char* name) {
    mReader = " reader=" + quoted(name);
}

void cAccessTrail::lookupFailed() {
    mNoReader = "lookup-failed";
}

void cAccessTrail::ambiguousCode() {
    mNoReader = "ambiguous-code";
}

void cAccessTrail::pairingFound() {
    mPairing = true;
}

void cAccessTrail::output(const char* label, bool set, bool confirmed) {
    ++mSent;
    mConfirmed += confirmed ? 1 : 0;
    add(" " + quoted(label) + "=" + (set ? "set" : "clear") +
        (confirmed || mLookup ? "" : "(unconfirmed)"));
}

void cAccessTrail::noOutput(const char* label) {
    ++mMissing;
    add(" " + quoted(label) + "=no-output");
}

void cAccessTrail::add(const std::string& item) {
    if (mOutputs.size() + item.size() > kOutputBytes) {
        ++mOmitted;  // the line stays bounded whatever the site holds
        return;
    }
    mOutputs += item;
}

std::string cAccessTrail::line() const {
    std::string out = mHead + mReader;
    if (mOmitted > 0) {
        out += " omitted=" + std::to_string(mOmitted);
    }
    out += " result=";
    out += mNoReader != nullptr
               ? mNoReader
               : resultName(mLookup, !mReader.empty(), mPairing, mSent, mConfirmed, mMissing);
    return out + mOutputs;
}

void cAccessTrail::finish() {
    if (isEnabled(INFO)) {
        info("%s", line().c_str());
    }
}
