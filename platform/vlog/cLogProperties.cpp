#include "vlog/cLogProperties.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The longest line the configuration reader takes.
const size_t kMaxLine = 255;

std::string trim(const std::string& text) {
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The part of value after its last '.': "org.apache.log4j.FileAppender"
// names the type FileAppender.
std::string typeName(const std::string& value) {
    size_t dot = value.find_last_of('.');
    return dot == std::string::npos ? value : value.substr(dot + 1);
}

bool isFileAppender(const std::string& type) {
    return type == "FileAppender" || type == "RollingFileAppender" ||
           type == "DailyRollingFileAppender";
}

}  // namespace

cLogProperties::cLogProperties(const std::string& text) {
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        mLines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    for (size_t i = 0; i < mLines.size(); ++i) {
        std::string command = mLines[i].substr(0, mLines[i].find('#'));
        size_t eq = command.find('=');
        if (mLines[i].size() > kMaxLine || eq == std::string::npos) {
            continue;
        }
        std::string key = trim(command.substr(0, eq));
        std::string value = trim(command.substr(eq + 1));
        substitute(&value);
        size_t dot = key.find('.');
        std::string first = key.substr(0, dot);
        if (first == "log4cpp" || first == "log4j") {
            key = dot == std::string::npos ? "" : key.substr(dot + 1);
        }
        mKeys.insert({key, Value{value, i}});  // the first definition wins
    }
}

void cLogProperties::substitute(std::string* value) const {
    std::string out;
    size_t left = 0;
    for (;;) {
        size_t open = value->find("${", left);
        size_t close = open == std::string::npos ? open : value->find('}', open + 2);
        if (close == std::string::npos) {
            out += value->substr(left);  // no (closed) reference: taken as it is
            break;
        }
        out += value->substr(left, open - left);
        std::string name = value->substr(open + 2, close - open - 2);
        const char* env = getenv(name.c_str());
        auto it = mKeys.find(name);
        out += env != nullptr ? env : it != mKeys.end() ? it->second.text : "";
        left = close + 1;
    }
    *value = out;
}

std::string cLogProperties::get(const std::string& key, const char* fallback) const {
    auto it = mKeys.find(key);
    return it != mKeys.end() ? it->second.text : fallback;
}

std::vector<cLogProperties::FileAppender> cLogProperties::fileAppenders() const {
    std::vector<FileAppender> found;
    const std::string prefix = "appender.";
    for (auto it = mKeys.lower_bound(prefix); it != mKeys.end(); ++it) {
        const std::string& key = it->first;
        if (key.compare(0, prefix.size(), prefix) != 0) {
            break;
        }
        std::string name = key.substr(prefix.size());
        if (name.find('.') != std::string::npos || !isFileAppender(typeName(it->second.text))) {
            continue;
        }
        const std::string at = key + ".";
        FileAppender a;
        a.name = name;
        a.type = typeName(it->second.text);
        a.fileName = get(at + "fileName", "foobar");  // log4cpp's default
        a.append = get(at + "append", "true") == "true";
        a.maxFileSize = static_cast<size_t>(atoi(get(at + "maxFileSize", "10485760").c_str()));
        int backups = atoi(get(at + "maxBackupIndex", "1").c_str());
        a.maxBackupIndex = backups > 0 ? static_cast<unsigned int>(backups) : 1;
        a.layout = typeName(get(at + "layout", ""));
        auto pattern = mKeys.find(at + "layout.ConversionPattern");
        a.hasPattern = pattern != mKeys.end();
        a.pattern = a.hasPattern ? pattern->second.text : "";
        found.push_back(a);
    }
    return found;
}

std::string cLogProperties::textFor(const std::vector<std::string>& replaced) const {
    std::vector<std::string> lines = mLines;
    for (const std::string& name : replaced) {
        auto type = mKeys.find("appender." + name);
        if (type != mKeys.end()) {
            lines[type->second.line] = "log4cpp.appender." + name + "=ConsoleAppender";
        }
        auto target = mKeys.find("appender." + name + ".target");
        if (target != mKeys.end()) {
            lines[target->second.line].clear();  // the stand-in's target is its own
        }
    }
    std::string text;
    for (const std::string& line : lines) {
        if (line.size() <= kMaxLine) {
            text += line + "\n";
        }
    }
    return text;
}
