#include "src/access_event.h"

#include <cstring>

#include "vutil/VText.h"

namespace {

bool escapes(const cTrailText& t) {
    return !vutil::isPrintable(t.kept.c_str());
}

// t as a JSON string, in the escaped form or as its bytes.
void appendText(std::string* out, const cTrailText& t, bool escaped) {
    *out += '"';
    const char* p = t.kept.data();
    const size_t len = t.kept.size();
    size_t i = 0;
    while (i < len) {
        const char c = p[i];
        if (c == '"' || c == '\\') {
            *out += (c == '"') ? "\\\"" : (escaped ? "\\\\\\\\" : "\\\\");
            ++i;
        } else if (!escaped) {
            *out += c;  // printable UTF-8: no text of this event escapes
            ++i;
        } else {
            char buf[vutil::kMaxEscapedChar];
            size_t n = 0;
            i += vutil::escapeNext(p + i, len - i, buf, &n);
            for (size_t k = 0; k < n; ++k) {
                if (buf[k] == '\\') {
                    *out += "\\\\";  // the backslash of \xHH, as JSON writes it
                } else {
                    *out += buf[k];
                }
            }
        }
    }
    if (t.cut) {
        *out += "...";
    }
    *out += '"';
}

}  // namespace

size_t eventTextBytes(const cTrailText& t) {
    std::string out;
    appendText(&out, t, true);
    return out.size();
}

std::string accessEventMembers(const cTrailRecord& r) {
    bool escaped = escapes(r.code) || (r.hasReader && escapes(r.reader));
    bool cut = r.code.cut || (r.hasReader && r.reader.cut);
    for (const cTrailOutput& o : r.outputs) {
        escaped = escaped || escapes(o.label);
        cut = cut || o.label.cut;
    }
    std::string out;
    out.reserve(160 + 64 * r.outputs.size());
    out += ",\"seq\":" + std::to_string(r.seq) + ",\"serial\":" + std::to_string(r.serial);
    out += ",\"code\":";
    appendText(&out, r.code, escaped);
    out += ",\"reader\":";
    if (r.hasReader) {
        appendText(&out, r.reader, escaped);
    } else {
        out += "null";
    }
    out += std::string(",\"result\":\"") + r.result + "\",\"outputs\":[";
    for (size_t i = 0; i < r.outputs.size(); ++i) {
        const cTrailOutput& o = r.outputs[i];
        out += i == 0 ? "{\"label\":" : ",{\"label\":";
        appendText(&out, o.label, escaped);
        out += std::string(",\"state\":\"") + o.state +
               (o.confirmed ? "\",\"confirmed\":true}" : "\",\"confirmed\":false}");
    }
    out += ']';
    if (r.omitted > 0) {
        out += ",\"omitted\":" + std::to_string(r.omitted);
    }
    if (escaped) {
        out += ",\"escaped\":true";
    }
    if (cut) {
        out += ",\"cut\":true";
    }
    return out;
}
