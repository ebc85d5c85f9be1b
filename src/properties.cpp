#include "src/properties.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vutil/VFile.h"

namespace {

const char kUtf8Bom[] = "\xEF\xBB\xBF";

}  // namespace

bool cProperties::load(const char* file_name) {
    std::string text, why;
    if (!vutil::readBounded(file_name, vutil::kMaxTextFile, &text, &why)) {
        printf("Failed to load input file %s: %s\n", file_name, why.c_str());
        fflush(stdout);
        return false;
    }
    mPropsMap.clear();
    // An editor's UTF-8 byte-order mark is not part of the first key.
    size_t pos = text.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
    for (unsigned long lineNo = 1; pos < text.size(); ++lineNo) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t length = end - pos;
        size_t start = pos;
        pos = end + 1;
        if (length > MAX_LINE) {
            printf("Skipping line %lu of %s: longer than %d bytes\n", lineNo, file_name,
                   static_cast<int>(MAX_LINE));
            fflush(stdout);
            continue;
        }
        addLine(std::string(text.c_str() + start, strnlen(text.c_str() + start, length)));
    }
    return true;
}

void cProperties::addLine(const std::string& line) {
    size_t hash = line.find('#');
    if (hash == 0) {
        return;
    }
    std::string content = hash == std::string::npos ? line : line.substr(0, hash);
    size_t eq = content.find('=');
    if (eq == std::string::npos) {
        return;
    }
    mPropsMap.emplace(content.substr(0, eq), content.substr(eq + 1));
}

const char* cProperties::getString(const char* key, const char* defval) const {
    auto found = mPropsMap.find(key);
    return found == mPropsMap.end() ? defval : found->second.c_str();
}

int cProperties::getInt(const char* key, int defval) const {
    auto found = mPropsMap.find(key);
    if (found == mPropsMap.end()) {
        return defval;
    }
    long value = strtol(found->second.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::vector<std::string> cProperties::keys() const {
    std::vector<std::string> names;
    names.reserve(mPropsMap.size());
    for (const auto& entry : mPropsMap) {
        names.push_back(entry.first);
    }
    return names;
}
