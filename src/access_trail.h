// cAccessTrail: the access audit trail. It collects what became of one
// access object (which code, which reader, which outputs were sent in which
// state and whether the site daemon confirmed each) and writes it as one line
// on the log category "DorvaneAccess" at INFO once the object is handled.
//
// The line, keys in this order:
//
//   seq=07 serial=12 code=04A1 reader=Door1 result=toggled RELAY_1=set LED_1=set
//
// - seq: the message's sequence number, two upper-case hex digits; serial:
//   the device serial, decimal; code: the scan code; reader: the reader the
//   database names (left out when the code is unknown); omitted: written only
//   when outputs did not fit the line, their number.
// - result: toggled (every SET confirmed), partly (at least one SET got no
//   reply or ERR, or a label matched no known output while the other
//   toggled something), unknown-code (no row has the code), ambiguous-code
//   (its rows name different readers: nothing was sent), lookup-failed (the
//   database could not be searched: nothing was sent, and the card may be
//   known), no-pairing-record, no-matching-output (no label matched a known
//   output), or would-toggle (a lookup: nothing was sent).
// - every key after result is an output label, one per SET in the order
//   sent, with the state sent: set or clear; a SET the daemon did not
//   confirm shows as set(unconfirmed) or clear(unconfirmed). A label that
//   matched no known output shows as no-output, in its place. A label can
//   repeat (two outputs carry it, or IO and LED label are the same).
// - A key or value that is empty or holds a space, '"', '=', '\' or
//   anything vutil::escape escapes (a control character, a byte that is not UTF-8,
//   a C1 or bidirectional control: see VText.h) is quoted: "Front door".
//   Inside the quotes '"' and '\' are written as \" and \\, and the rest as
//   vutil escapes it (\xHH for each such byte). Any other key or value,
//   UTF-8 text included, is written as it is.
// - The code is written whole: the database holds codes of at most
//   MAX_CODE_BYTES bytes, so an accepted code takes at most 510 bytes
//   quoted and escaped. A code or reader longer than MAX_CODE_BYTES (never
//   accepted) and a label longer than MAX_LABEL_BYTES are cut at a whole
//   character and written quoted with "..." inside the quotes.
// - A line never exceeds MAX_LINE_BYTES (1023): when it would, the reader is
//   cut as much as needed, and the outputs are written in order while they
//   fit, the rest left out (counted by omitted); the code is never cut.
//
// - The fleet event: with an outbox set, finish() also appends the access
//   object's event (see access_event.h) built from the same record as the
//   line, at the moment the line is written, also when the category drops
//   INFO. Outputs are kept in the line only while the event (at most
//   MAX_EVENT_BYTES) holds them as well, so both list the same outputs.
//
// One object is used by one thread at a time (it is a cVlog); the manager
// keeps one for its event thread. Every text passed in is copied (null reads
// as ""), so nothing of the caller's is kept. No operation fails: what does
// not fit is cut or counted as omitted, as above; a line the log cannot
// write is counted and reported by the log facility (cVlog). Nothing here
// throws except std::bad_alloc.
#ifndef DORVANE_SRC_ACCESS_TRAIL_H
#define DORVANE_SRC_ACCESS_TRAIL_H

#include <string>
#include <vector>

#include "vlog/cVlog.h"

namespace voutbox {
class cOutbox;
}

// One text as the line writes it: the bytes kept (all of the text, or as
// much as fits, cut at a whole character) and whether it was cut.
struct cTrailText {
    std::string kept;
    bool cut = false;
};

// One output as the line writes it: its label, the state sent ("set",
// "clear") or "no-output", and whether the daemon confirmed it.
struct cTrailOutput {
    cTrailText label;
    const char* state;
    bool confirmed;
};

// What one line says, fitted to the line and the event: the record both
// are written from.
struct cTrailRecord {
    bool lookup = false;
    unsigned seq = 0, serial = 0;
    cTrailText code;
    bool hasReader = false;
    cTrailText reader;
    const char* result = "";
    std::vector<cTrailOutput> outputs;  // those written, in order
    size_t omitted = 0;                 // those left out
};

class cAccessTrail : public cVlog {
public:
    enum {
        MAX_CODE_BYTES = 127,  // the longest code or reader the database holds
        MAX_LABEL_BYTES = 64,
        MAX_LINE_BYTES = cVlog::LOG_BUFFER_SIZE - 1,
        MAX_EVENT_BYTES = 4096  // an event's JSON, its line end not included
    };

    cAccessTrail();  // category "DorvaneAccess", nothing collected

    // Starts the record of one access object (what was collected before is
    // forgotten). code may be null (read as "").
    void begin(unsigned seq, unsigned serial, const char* code);
    // Starts the record of a lookup: no seq and serial, result would-toggle
    // when outputs are added.
    void beginLookup(const char* code);
    // The database named this reader for the code (null reads as "").
    void reader(const char* name);
    // The database could not answer: the lookup failed, or the code's rows
    // name different readers. Either makes the result, with no reader.
    void lookupFailed();
    void ambiguousCode();
    // The reader's pairing record gave a label.
    void pairingFound();
    // One output was sent, set (true) or clear; confirmed says whether the
    // daemon applied it (ignored in a lookup).
    void output(const char* label, bool set, bool confirmed);
    // The label matched none of the known outputs: nothing was sent for it.
    void noOutput(const char* label);

    // Each finish() of an access object (not of a lookup) also appends its
    // event to outbox, which the caller owns and keeps while this object
    // lives; null: no event.
    void setOutbox(voutbox::cOutbox* outbox) { mOutbox = outbox; }

    // What was collected, fitted (see the header's rules).
    cTrailRecord record() const;
    // The line for what was collected: lineOf(record()).
    std::string line() const;
    static std::string lineOf(const cTrailRecord& record);
    // Writes line() at INFO (formatting nothing when the category drops
    // INFO) and appends the event when there is an outbox.
    void finish();

private:
    // One output collected, fitted as a label; kept while the line may hold it.
    struct Item {
        cTrailOutput output;
        size_t lineBytes;   // " LABEL=value"
        size_t eventBytes;  // its part of the event at most
    };
    void start(const char* code);
    void addItem(const char* label, const char* state, bool confirmed);

    bool mLookup;
    unsigned mSeq, mSerial;
    cTrailText mCode;
    bool mHasReader;
    std::string mReader;    // the reader's name as the database gave it
    const char* mNoReader;  // the result when the database could not answer; else null
    bool mPairing;
    std::vector<Item> mItems;  // in order while they may fit the line
    size_t mItemBytes;         // their line length together
    size_t mItemCount;         // outputs collected, those not kept included
    unsigned mSent, mConfirmed, mMissing;
    voutbox::cOutbox* mOutbox;
};

#endif
