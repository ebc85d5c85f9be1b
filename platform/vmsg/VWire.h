// The wire form of a message: an 8-byte header (version 1, message id,
// sequence number, flags, 32-bit body length, big-endian) and a body of
// tags (id, type, 16-bit length, value). See docs/protocol.md.
//
// The decoder works on a byte buffer, never reads past the bytes it is
// given, whatever the lengths say, and reports a malformed message as a
// result. A STRING holding a NUL byte is well formed: its value is kept
// whole, NULs included, for the reader of the value to refuse. Every
// function here keeps no state of its own: any thread may call it, on
// buffers that no other thread uses meanwhile. Messages read from and
// written to a stream socket: VFrameReader.h, VFrameWriter.h; listening and
// blocking writes: VSocket.h.
#ifndef DORVANE_PLATFORM_VMSG_VWIRE_H
#define DORVANE_PLATFORM_VMSG_VWIRE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "vmsg/VMsg.h"

namespace vmsg {

const uint8_t kVersion = 1;
const size_t kHeaderSize = 8;
const size_t kTagHeaderSize = 4;
const uint32_t kMaxBody = 1048576;

enum MsgId : uint8_t { MSG_SET = 0, MSG_GET = 1, MSG_ERR = 2, MSG_EVT = 3, MSG_DEL = 4 };

enum class DecodeStatus {
    kOk,         // one message decoded from the front of the buffer
    kNeedMore,   // the buffer holds only part of a message
    kMalformed,  // the stream cannot go on: close the connection
};

struct DecodeResult {
    DecodeStatus status;
    size_t consumed;    // bytes of the message, for kOk
    VMsg* msg;          // new message owned by the caller, for kOk; else null
    const char* error;  // what was wrong, for kMalformed; a static text
};

// Decodes the message at the front of data[0, size). Reads only those bytes;
// a body longer than kMaxBody or a tag that overruns its body is kMalformed.
DecodeResult decode(const uint8_t* data, size_t size);

// Appends the wire form of msg to out, the caller's buffer, whose earlier
// bytes stay as they were. Returns false, appending nothing, when a tag's
// value or the body is too long for the format. msg is only read.
bool encode(const VMsg& msg, std::vector<uint8_t>& out);

// Decodes the whole messages at the front of buffer (bytes received from a
// stream, oldest first) and hands each, in order, to onMessage with its
// wire bytes (valid during the call); onMessage owns the message and
// returns false to stop early (the connection is going). The
// messages handed over are erased from buffer; a partial message stays for
// the next call. False when a message is malformed: the stream cannot go
// on, *error (when not null) gets the static text saying why, and buffer
// keeps the bytes from the malformed message on.
bool drainFrames(std::vector<uint8_t>& buffer,
                 const std::function<bool(std::unique_ptr<VMsg> msg, const uint8_t* bytes,
                                          size_t size)>& onMessage,
                 const char** error = nullptr);

}  // namespace vmsg

#endif
