// VSignify (namespace vsign): the files of OpenBSD's signify (Debian's
// signify-openbsd), read without the tool: an embedded signature
// (`signify -S -e`: an "untrusted comment: " line, a base64 line of "Ed",
// the 8-byte key number and the 64-byte Ed25519 signature, then the message)
// and public key files ("untrusted comment: " line, a base64 line of "Ed",
// the key number and the 32-byte key, nothing after). Signatures are checked
// with libsodium (pure Ed25519 over the message bytes exactly).
//
// Every function reads only the bytes it is given, reports failure by its
// result with a one-line reason, and throws nothing but std::bad_alloc.
// Thread-safe.
#ifndef DORVANE_PLATFORM_VSIGN_VSIGNIFY_H
#define DORVANE_PLATFORM_VSIGN_VSIGNIFY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsign {

constexpr size_t kKeyNumberBytes = 8;
constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSignatureBytes = 64;
// signify's limit: the comment after "untrusted comment: " is shorter.
constexpr size_t kMaxCommentBytes = 1024;
// The longest head before the message: the comment line and the signature
// line (100 base64 characters), with their line ends.
constexpr size_t kMaxSignedHead = 19 + kMaxCommentBytes - 1 + 1 + 100 + 1;
// A keys folder holds at most this many key files of at most kMaxKeyFile
// bytes each; more is refused rather than read.
constexpr size_t kMaxKeys = 256;
constexpr size_t kMaxKeyFile = 4096;

struct PublicKey {
    uint8_t number[kKeyNumberBytes];
    uint8_t key[kPublicKeyBytes];
    std::string file;  // its name in the keys folder
};

struct Signature {
    uint8_t number[kKeyNumberBytes];
    uint8_t sig[kSignatureBytes];
};

// Reads the signature at the start of an embedded-signature file of size
// bytes at data (REQUIRES size readable bytes). True with *sig and
// *messageOffset (where the message starts); false with *why.
bool splitSigned(const char* data, size_t size, Signature* sig, size_t* messageOffset,
                 std::string* why);

// Reads a public key file's content. True with *key (file left as is);
// false with *why.
bool parsePublicKey(const char* data, size_t size, PublicKey* key, std::string* why);

// Reads every key file ("*.pub", not starting with a dot) of the folder dir,
// in name order, each by parsePublicKey. Refused whole (false, with *why
// naming the folder or file) when the folder or a key file is a symbolic
// link (never followed), is not a folder or a regular file, is owned by
// anyone but root, can be written by its group or others, cannot be read
// or does not parse, or when there are more than kMaxKeys key files. Other
// entries are left alone. Opens nothing that could block.
bool readKeys(const std::string& dir, std::vector<PublicKey>* keys, std::string* why);

// The key number as 16 lower-case hex digits.
std::string keyNumberHex(const uint8_t number[kKeyNumberBytes]);

// True when sig verifies over the len bytes of message with a key of keys
// that has its key number; false with *why ("signed with key N, which is
// not in the keys folder", "the signature does not verify with key N").
bool verify(const Signature& sig, const char* message, size_t len,
            const std::vector<PublicKey>& keys, std::string* why);

// The SHA-256 of the size bytes at data, as 64 lower-case hex digits.
std::string sha256Hex(const char* data, size_t size);

}  // namespace vsign

#endif
