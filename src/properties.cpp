#include "properties.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

bool cProperties::load(const char* file_name) {
    std::ifstream in(file_name);
    if (!in.is_open()) {
        printf("Failed to load input file %s\n", file_name);
        fflush(stdout);
        return false;
    }
    mPropsMap.clear();
    char buffer[MAX_LINE + 1];
    unsigned long lineNo = 0;
    for (;;) {
        in.getline(buffer, sizeof(buffer));
        ++lineNo;
        if (in.bad()) {
            break;
        }
        if (in.fail()) {
            if (in.eof()) {
                break;  // nothing left to read
            }
            // More than 255 bytes before the newline: skip just this line.
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            printf("Skipping line %lu of %s: longer than %d bytes\n", lineNo, file_name,
                   static_cast<int>(MAX_LINE));
            fflush(stdout);
            continue;
        }
        std::string line(buffer);  // ends at the first NUL
        size_t hash = line.find('#');
        if (hash == 0) {
            continue;
        }
        std::string content = hash == std::string::npos ? line : line.substr(0, hash);
        size_t eq = content.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        mPropsMap.emplace(content.substr(0, eq), content.substr(eq + 1));
    }
    return true;
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
