// Fuzz target: a signed code set as a unit judges it. The input is tried
// twice: as a whole payload (signify's form, the size bound), and as the
// message of a payload signed here with a key the unit holds, so that the
// header and the CSV's rules are reached too.
#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "src/code_sets.h"
#include "vsign/VCodeSet.h"

namespace {

struct Signer {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    vsign::PublicKey key;

    Signer() {
        unsigned char seed[crypto_sign_SEEDBYTES] = {7};
        if (sodium_init() < 0) {
            abort();
        }
        crypto_sign_seed_keypair(pk, sk, seed);
        memset(key.number, 0x42, sizeof(key.number));
        memcpy(key.key, pk, sizeof(key.key));
    }

    std::string sign(const uint8_t* message, size_t size) const {
        unsigned char raw[2 + vsign::kKeyNumberBytes + vsign::kSignatureBytes] = {'E', 'd'};
        memcpy(raw + 2, key.number, vsign::kKeyNumberBytes);
        crypto_sign_detached(raw + 2 + vsign::kKeyNumberBytes, nullptr, message, size, sk);
        char b64[sodium_base64_ENCODED_LEN(sizeof(raw), sodium_base64_VARIANT_ORIGINAL)];
        sodium_bin2base64(b64, sizeof(b64), raw, sizeof(raw), sodium_base64_VARIANT_ORIGINAL);
        return std::string("untrusted comment: fuzz\n") + b64 + "\n" +
               std::string(reinterpret_cast<const char*>(message), size);
    }
};

void judge(const char* data, size_t size, const vsign::PublicKey& key) {
    vsign::Unit unit;
    unit.site = "hq";
    unit.name = "u1";
    unit.mark = 5;
    unit.markSha256 = std::string(64, '0');
    unit.maxSetBytes = 4096;
    std::vector<csv::Line> lines;
    vsign::Verdict v = vsign::decideWithKeys(data, size, unit, {key}, [&](const char* c, size_t n) {
        return code_sets::csvRefusal(c, n, &lines);
    });
    bool hex = v.sha256.size() == 64 &&
               v.sha256.find_first_not_of("0123456789abcdef") == std::string::npos;
    if ((size == 0) != (v.outcome == vsign::SET_NONE) || (size > 0 && !hex) ||
        (v.outcome == vsign::SET_REFUSED) == v.reason.empty()) {
        abort();
    }
    if (v.outcome == vsign::SET_APPLY &&
        (v.csvOffset + v.csvSize != size || v.version <= unit.mark ||
         v.version > vsign::kMaxVersion)) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Signer signer;
    judge(reinterpret_cast<const char*>(data), size, signer.key);
    std::string signedSet = signer.sign(data, size);
    // A buffer of exactly the payload's size, so a read past it is caught.
    std::vector<char> exact(signedSet.begin(), signedSet.end());
    judge(exact.data(), exact.size(), signer.key);
    return 0;
}
