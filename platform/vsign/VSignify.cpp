#include "vsign/VSignify.h"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vutil/VText.h"

namespace vsign {
namespace {

const char kCommentPrefix[] = "untrusted comment: ";
const size_t kCommentPrefixBytes = sizeof(kCommentPrefix) - 1;
const char kAlgorithm[] = "Ed";
const size_t kSignatureLine = 100;  // base64 of 2 + 8 + 64 bytes
const size_t kKeyLine = 56;         // base64 of 2 + 8 + 32 bytes

bool ready() {
    static const bool initialised = sodium_init() >= 0;  // thread-safe, once
    return initialised;
}

// The line at data[from] (without its LF) when it ends within limit bytes.
bool lineAt(const char* data, size_t size, size_t from, size_t limit, size_t* length) {
    size_t end = std::min(size, from + limit + 1);
    const void* nl = from < end ? memchr(data + from, '\n', end - from) : nullptr;
    if (nl == nullptr) {
        return false;
    }
    *length = static_cast<size_t>(static_cast<const char*>(nl) - (data + from));
    return true;
}

// Decodes exactly want bytes, starting with "Ed", from the base64 text.
bool decodeLine(const char* text, size_t len, uint8_t* out, size_t want) {
    size_t got = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, want, text, len, nullptr, &got, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == text + len && got == want && memcmp(out, kAlgorithm, 2) == 0;
}

// The comment line at the start; false with *why.
bool commentLine(const char* data, size_t size, size_t* length, std::string* why) {
    if (size < kCommentPrefixBytes || memcmp(data, kCommentPrefix, kCommentPrefixBytes) != 0) {
        *why = "the first line is not signify's \"untrusted comment: \"";
        return false;
    }
    if (!lineAt(data, size, 0, kCommentPrefixBytes + kMaxCommentBytes - 1, length)) {
        *why = "the untrusted comment line is longer than signify writes or has no end";
        return false;
    }
    return true;
}

std::string shownName(const std::string& dir, const char* name) {
    std::string path = name == nullptr ? dir : dir + "/" + name;
    return vutil::escape(path.data(), path.size());
}

// Why the opened file fd may not hold keys (owner, mode, kind), or "".
std::string ownerRefusal(int fd, bool folder) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return strerror(errno);
    }
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        return folder ? "not a folder" : "not a regular file";
    }
    if (st.st_uid != 0) {
        return "owned by uid " + std::to_string(st.st_uid) + ", not root";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("writable by others than root (mode ") + mode + ")";
    }
    if (!folder && st.st_size > static_cast<off_t>(kMaxKeyFile)) {
        return "larger than " + std::to_string(kMaxKeyFile) + " bytes";
    }
    return "";
}

std::string openRefusal(int error) {
    return error == ELOOP ? "a symbolic link, which is not followed" : strerror(error);
}

bool isKeyFile(const char* name) {
    size_t n = strlen(name);
    return name[0] != '.' && n > 4 && strcmp(name + n - 4, ".pub") == 0;
}

// Reads the key file name in the folder dfd; "" or why not.
std::string readKeyFile(int dfd, const char* name, PublicKey* key) {
    int fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return openRefusal(errno);
    }
    std::string why = ownerRefusal(fd, false);
    char buf[kMaxKeyFile + 1];
    size_t size = 0;
    while (why.empty() && size < sizeof(buf)) {
        ssize_t n = read(fd, buf + size, sizeof(buf) - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            why = strerror(errno);
        }
        if (n <= 0) {
            break;
        }
        size += static_cast<size_t>(n);
    }
    close(fd);
    if (why.empty() && size > kMaxKeyFile) {
        why = "larger than " + std::to_string(kMaxKeyFile) + " bytes";
    }
    if (why.empty() && !parsePublicKey(buf, size, key, &why)) {
        return why;
    }
    key->file = name;
    return why;
}

}  // namespace

bool splitSigned(const char* data, size_t size, Signature* sig, size_t* messageOffset,
                 std::string* why) {
    size_t comment = 0, line = 0;
    if (!commentLine(data, size, &comment, why)) {
        return false;
    }
    uint8_t raw[2 + kKeyNumberBytes + kSignatureBytes];
    if (!lineAt(data, size, comment + 1, kSignatureLine, &line) || line != kSignatureLine ||
        !ready() || !decodeLine(data + comment + 1, line, raw, sizeof(raw))) {
        *why = "the second line is not a signify Ed25519 signature";
        return false;
    }
    memcpy(sig->number, raw + 2, kKeyNumberBytes);
    memcpy(sig->sig, raw + 2 + kKeyNumberBytes, kSignatureBytes);
    *messageOffset = comment + 1 + line + 1;
    return true;
}

bool parsePublicKey(const char* data, size_t size, PublicKey* key, std::string* why) {
    size_t comment = 0, line = 0;
    if (!commentLine(data, size, &comment, why)) {
        return false;
    }
    uint8_t raw[2 + kKeyNumberBytes + kPublicKeyBytes];
    if (!lineAt(data, size, comment + 1, kKeyLine, &line) || line != kKeyLine || !ready() ||
        !decodeLine(data + comment + 1, line, raw, sizeof(raw))) {
        *why = "the second line is not a signify Ed25519 public key";
        return false;
    }
    if (comment + 1 + line + 1 != size) {
        *why = "more than the two lines of a signify public key";
        return false;
    }
    memcpy(key->number, raw + 2, kKeyNumberBytes);
    memcpy(key->key, raw + 2 + kKeyNumberBytes, kPublicKeyBytes);
    return true;
}

bool readKeys(const std::string& dir, std::vector<PublicKey>* keys, std::string* why) {
    keys->clear();
    // Not O_DIRECTORY, which would say ENOTDIR for a link: ELOOP says what it is.
    int dfd = open(dir.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    std::string refused = dfd < 0 ? openRefusal(errno) : ownerRefusal(dfd, true);
    DIR* d = refused.empty() ? fdopendir(dfd) : nullptr;
    if (d == nullptr) {
        if (refused.empty()) {
            refused = strerror(errno);
        }
        if (dfd >= 0) {
            close(dfd);
        }
        *why = "keys folder " + shownName(dir, nullptr) + ": " + refused;
        return false;
    }
    std::vector<std::string> names;
    for (dirent* e = readdir(d); e != nullptr && names.size() <= kMaxKeys; e = readdir(d)) {
        if (isKeyFile(e->d_name)) {
            names.push_back(e->d_name);
        }
    }
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxKeys) {
        refused = "keys folder " + shownName(dir, nullptr) + ": more than " +
                  std::to_string(kMaxKeys) + " key files";
    }
    for (size_t i = 0; refused.empty() && i < names.size(); ++i) {
        PublicKey key;
        std::string bad = readKeyFile(dirfd(d), names[i].c_str(), &key);
        if (!bad.empty()) {
            refused = "key file " + shownName(dir, names[i].c_str()) + ": " + bad;
        } else {
            keys->push_back(key);
        }
    }
    closedir(d);  // closes dfd
    if (!refused.empty()) {
        keys->clear();
        *why = refused;
        return false;
    }
    return true;
}

std::string keyNumberHex(const uint8_t number[kKeyNumberBytes]) {
    char hex[2 * kKeyNumberBytes + 1];
    sodium_bin2hex(hex, sizeof(hex), number, kKeyNumberBytes);
    return hex;
}

bool verify(const Signature& sig, const char* message, size_t len,
            const std::vector<PublicKey>& keys, std::string* why) {
    bool known = false;
    for (const PublicKey& k : keys) {
        if (memcmp(k.number, sig.number, kKeyNumberBytes) != 0) {
            continue;
        }
        known = true;
        if (ready() &&
            crypto_sign_verify_detached(sig.sig, reinterpret_cast<const unsigned char*>(message),
                                        len, k.key) == 0) {
            return true;
        }
    }
    *why =
        known ? "the signature does not verify with key " + keyNumberHex(sig.number)
              : "signed with key " + keyNumberHex(sig.number) + ", which is not in the keys folder";
    return false;
}

std::string sha256Hex(const char* data, size_t size) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    if (!ready()) {
        return "";
    }
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(data), size);
    sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
    return hex;
}

}  // namespace vsign
