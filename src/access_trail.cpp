#include "src/access_trail.h"

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "src/access_event.h"
#include "src/pAccess.h"
#include "voutbox/cOutbox.h"
#include "vutil/VText.h"

namespace {

static_assert(cAccessTrail::MAX_CODE_BYTES == pAccess::FIELD_SIZE - 1,
              "the trail writes whole every code the database can hold");
static_assert(cAccessTrail::MAX_EVENT_BYTES + 1 == voutbox::kMaxLine,
              "an event and its line end make one outbox line");
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
static_assert(kEventFixedBytes + 2 * (5 * cAccessTrail::MAX_CODE_BYTES + 5) + kEventOutputBytes +
                      5 * cAccessTrail::MAX_LABEL_BYTES + 5 <=
                  cAccessTrail::MAX_EVENT_BYTES,
              "an event always holds its code, its reader and one output whole");

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
    // Any other white space (U+00A0, U+3000...) shows as a gap as well: not
    // quoted, "05" and a no-break space would read as the code 05.
    for (size_t i = 0; i < len;) {
        vutil::eCharKind kind = vutil::CHAR_TEXT;
        i += vutil::charKind(text + i, len - i, &kind);
        if (kind == vutil::CHAR_SPACE) {
            return true;
        }
    }
    return !vutil::isPrintable(text);
}

// The quoted form of text[0, len): its characters, escaped, while they end
// within maxRaw bytes of text and their form within maxInner bytes. Sets
// *taken to the bytes of text it holds.
std::string quotedInner(const char* text, size_t len, size_t maxRaw, size_t maxInner,
                        size_t* taken) {
    std::string inner;
    char buf[vutil::kMaxEscapedChar];
    size_t i = 0;
    while (i < len) {
        size_t n = 0;
        size_t step = 1;
        if (text[i] == '"' || text[i] == '\\') {
            buf[0] = '\\';
            buf[1] = text[i];
            n = 2;
        } else {
            step = vutil::escapeNext(text + i, len - i, buf, &n);
        }
        if (i + step > maxRaw || inner.size() + n > maxInner) {
            break;
        }
        inner.append(buf, n);
        i += step;
    }
    *taken = i;
    return inner;
}

// text[0, len) fitted as a key or value of the line (see the header): whole
// when it holds at most maxRaw bytes and its form at most maxField;
// otherwise cut to both, with room for the quotes and "...". REQUIRES:
// maxField of at least kCutMarkBytes.
cTrailText fit(const char* text, size_t len, size_t maxRaw, size_t maxField) {
    cTrailText out;
    if (len <= maxRaw && len <= maxField && !needsQuotes(text, len)) {
        out.kept.assign(text, len);
        return out;
    }
    size_t taken = 0;
    quotedInner(text, len, maxRaw, maxField - 2, &taken);
    if (taken < len) {
        quotedInner(text, len, maxRaw, maxField - kCutMarkBytes, &taken);
        out.cut = true;
    }
    out.kept.assign(text, taken);
    return out;
}

// The same for a C string (null reads as "").
cTrailText fit(const char* text, size_t maxRaw, size_t maxField) {
    if (text == nullptr) {
        text = "";
    }
    return fit(text, strlen(text), maxRaw, maxField);
}

// The text as the line writes it.
std::string quoted(const cTrailText& t) {
    if (!t.cut && !needsQuotes(t.kept.c_str(), t.kept.size())) {
        return t.kept;
    }
    size_t taken = 0;
    std::string inner = quotedInner(t.kept.c_str(), t.kept.size(), SIZE_MAX, SIZE_MAX, &taken);
    return "\"" + inner + (t.cut ? "...\"" : "\"");
}

std::string itemOf(const cTrailOutput& o, bool lookup) {
    std::string value = o.state;
    if (!o.confirmed && !lookup && strcmp(o.state, "no-output") != 0) {
        value += "(unconfirmed)";
    }
    return " " + quoted(o.label) + "=" + value;
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

std::string headOf(const cTrailRecord& r) {
    if (r.lookup) {
        return "code=" + quoted(r.code);
    }
    char fixed[48];
    snprintf(fixed, sizeof(fixed), "seq=%02X serial=%u ", r.seq & 0xffu, r.serial);
    return fixed + ("code=" + quoted(r.code));
}

}  // namespace

cAccessTrail::cAccessTrail()
    : cVlog("DorvaneAccess"),
      mLookup(false),
      mSeq(0),
      mSerial(0),
      mHasReader(false),
      mNoReader(nullptr),
      mPairing(false),
      mItemBytes(0),
      mItemCount(0),
      mSent(0),
      mConfirmed(0),
      mMissing(0),
      mOutbox(nullptr) {}

void cAccessTrail::start(const std::string& code) {
    mCode = fit(code.data(), code.size(), MAX_CODE_BYTES, 4 * MAX_CODE_BYTES + 2);
    mHasReader = false;
    mReader.clear();
    mNoReader = nullptr;
    mPairing = false;
    mItems.clear();
    mItemBytes = 0;
    mItemCount = 0;
    mSent = mConfirmed = mMissing = 0;
}

void cAccessTrail::begin(unsigned seq, unsigned serial, const char* code) {
    begin(seq, serial, std::string(code != nullptr ? code : ""));
}

void cAccessTrail::begin(unsigned seq, unsigned serial, const std::string& code) {
    mLookup = false;
    mSeq = seq & 0xffu;
    mSerial = serial;
    start(code);
}

void cAccessTrail::beginLookup(const char* code) {
    mLookup = true;
    mSeq = mSerial = 0;
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
    addItem(label, set ? "set" : "clear", confirmed || mLookup);
}

void cAccessTrail::noOutput(const char* label) {
    ++mMissing;
    addItem(label, "no-output", false);
}

void cAccessTrail::addItem(const char* label, const char* state, bool confirmed) {
    ++mItemCount;
    if (mItemBytes > MAX_LINE_BYTES) {
        return;  // cannot be written: kept bounded whatever the site holds
    }
    Item item{{fit(label, MAX_LABEL_BYTES, 4 * MAX_LABEL_BYTES + 2), state, confirmed}, 0, 0};
    item.lineBytes = itemOf(item.output, mLookup).size();
    item.eventBytes = kEventOutputBytes + eventTextBytes(item.output.label);
    mItemBytes += item.lineBytes;
    mItems.push_back(std::move(item));
}

cTrailRecord cAccessTrail::record() const {
    cTrailRecord r;
    r.lookup = mLookup;
    r.seq = mSeq;
    r.serial = mSerial;
    r.code = mCode;
    r.hasReader = mHasReader;
    r.result = mNoReader != nullptr
                   ? mNoReader
                   : resultName(mLookup, mHasReader, mPairing, mSent, mConfirmed, mMissing);
    if (mHasReader) {
        r.reader = fit(mReader.c_str(), MAX_CODE_BYTES, 4 * MAX_CODE_BYTES + 2);
    }
    const std::string readerKey = " reader=";
    size_t fixed = headOf(r).size() + strlen(" result=") + strlen(r.result);
    size_t readerBytes = mHasReader ? readerKey.size() + quoted(r.reader).size() : 0;
    size_t eventFixed = kEventFixedBytes + eventTextBytes(r.code) + eventTextBytes(r.reader);
    size_t eventItems = 0;
    for (const Item& item : mItems) {
        eventItems += item.eventBytes;
    }
    if (mItems.size() == mItemCount && fixed + readerBytes + mItemBytes <= MAX_LINE_BYTES &&
        eventFixed + eventItems <= MAX_EVENT_BYTES) {
        for (const Item& item : mItems) {
            r.outputs.push_back(item.output);
        }
        return r;
    }
    // Too long: room for the count of what is left out, then the reader as
    // much as fits, then the outputs in order while the line and the event
    // hold them.
    fixed += (" omitted=" + std::to_string(mItemCount)).size();
    if (mHasReader && fixed + readerBytes > MAX_LINE_BYTES) {
        r.reader = fit(mReader.c_str(), MAX_CODE_BYTES, MAX_LINE_BYTES - fixed - readerKey.size());
        readerBytes = readerKey.size() + quoted(r.reader).size();
    }
    size_t lineBytes = fixed + readerBytes;
    size_t eventBytes = eventFixed;
    for (const Item& item : mItems) {
        if (lineBytes + item.lineBytes > MAX_LINE_BYTES ||
            eventBytes + item.eventBytes > MAX_EVENT_BYTES) {
            break;
        }
        lineBytes += item.lineBytes;
        eventBytes += item.eventBytes;
        r.outputs.push_back(item.output);
    }
    r.omitted = mItemCount - r.outputs.size();
    return r;
}

std::string cAccessTrail::lineOf(const cTrailRecord& r) {
    std::string out = headOf(r);
    if (r.hasReader) {
        out += " reader=" + quoted(r.reader);
    }
    if (r.omitted > 0) {
        out += " omitted=" + std::to_string(r.omitted);
    }
    out += std::string(" result=") + r.result;
    for (const cTrailOutput& o : r.outputs) {
        out += itemOf(o, r.lookup);
    }
    return out;
}

std::string cAccessTrail::line() const {
    return lineOf(record());
}

void cAccessTrail::finish() {
    const bool log = isEnabled(INFO);
    if (!log && (mOutbox == nullptr || mLookup)) {
        return;
    }
    const cTrailRecord r = record();
    if (log) {
        info("%s", lineOf(r).c_str());
    }
    if (mOutbox != nullptr && !mLookup) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        mOutbox->append("access", accessEventMembers(r), now);
    }
}
