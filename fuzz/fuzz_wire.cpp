// Fuzz target: the wire decoder and the object mapping. Whatever the bytes,
// decoding never reads past them; what decodes maps to objects, encodes
// again and decodes to the same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t offset = 0;
    while (offset < size) {
        vmsg::DecodeResult r = vmsg::decode(data + offset, size - offset);
        if (r.status != vmsg::DecodeStatus::kOk) {
            break;
        }
        if (r.consumed == 0 || r.consumed > size - offset) {
            abort();
        }
        std::unique_ptr<VMsg> msg(r.msg);
        std::vector<uint8_t> again;
        if (!vmsg::encode(*msg, again) || again.size() != r.consumed) {
            abort();  // anything that decodes encodes back to the same length
        }
        std::unique_ptr<cObjectList> objects(ulxobj::fromMessage(*msg));
        std::unique_ptr<VMsg> out(
            ulxobj::toMessage(*objects, objects->getMsgType(), objects->getMsgSeq()));
        std::vector<uint8_t> bytes;
        if (vmsg::encode(*out, bytes)) {
            vmsg::DecodeResult back = vmsg::decode(bytes.data(), bytes.size());
            if (back.status != vmsg::DecodeStatus::kOk) {
                abort();
            }
            delete back.msg;
        }
        objects->deleteObjects();
        offset += r.consumed;
    }
    return 0;
}
