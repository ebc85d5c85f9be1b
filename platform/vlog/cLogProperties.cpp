#include "vlog/cLogProperties.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "vlog/LogKeys.h"

namespace {

// The longest line the configuration reader takes.
const size_t kMaxLine = 255;
// The most backups a RollingFileAppender keeps: each roll-over renames
// every one of them, so two billion held the logging thread for hours.
const unsigned int kMaxBackupIndex = 1000;
// The widest a conversion of a PatternLayout may pad ("%20m"): log4cpp builds
// each line whole, so "%2000000000m" made every line 2 GB long.
const unsigned long kMaxPadding = 1000;
// The longest value once its "${NAME}" are replaced. A value may name
// earlier ones, each already replaced: sixty names a line made a value sixty
// times longer at each line, and five lines of 250 bytes took gigabytes.
const size_t kMaxValue = 4096;

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

// The parts of text between the separators, empty ones included.
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t left = 0;
    for (size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, left)) {
        parts.push_back(text.substr(left, at - left));
        left = at + 1;
    }
    parts.push_back(text.substr(left));
    return parts;
}

// The widest padding a conversion of pattern asks for, as log4cpp reads
// it: '%', an optional '-', then the minimum width ("%%" is a percent sign).
unsigned long widestPadding(const std::string& pattern) {
    unsigned long widest = 0;
    for (size_t i = pattern.find('%'); i != std::string::npos; i = pattern.find('%', i)) {
        ++i;
        if (i < pattern.size() && pattern[i] == '%') {
            ++i;
            continue;
        }
        if (i < pattern.size() && pattern[i] == '-') {
            ++i;
        }
        unsigned long width = 0;
        for (; i < pattern.size() && isdigit(static_cast<unsigned char>(pattern[i])); ++i) {
            width = std::min(width * 10 + static_cast<unsigned long>(pattern[i] - '0'),
                             kMaxPadding + 1);
        }
        widest = std::max(widest, width);
    }
    return widest;
}

}  // namespace

cLogProperties::cLogProperties(const std::string& text) : mConfigures(false) {
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        mConfigures = mConfigures || line.compare(0, 8, "log4cpp.") == 0;
        std::string command = line.substr(0, std::min(line.find('\0'), line.find('#')));
        size_t eq = command.find('=');
        if (line.size() > kMaxLine || eq == std::string::npos) {
            continue;
        }
        std::string key = trim(command.substr(0, eq));
        std::string value = trim(command.substr(eq + 1));
        if (!substitute(&value) && mOverlong.empty()) {
            mOverlong = key;
        }
        size_t dot = key.find('.');
        std::string first = key.substr(0, dot);
        if (dot != std::string::npos && (first == "log4cpp" || first == "log4j")) {
            key = key.substr(dot + 1);
        }
        mKeys.insert({key, value});  // the first definition wins
    }
}

bool cLogProperties::substitute(std::string* value) const {
    std::string out;
    size_t left = 0;
    for (;;) {
        if (out.size() > kMaxValue) {
            *value = out.substr(0, kMaxValue);
            return false;
        }
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
        if (name == "${") {
            out += name;
        } else {
            out += env != nullptr ? env : it != mKeys.end() ? it->second : "";
        }
        left = close + 1;
    }
    *value = out;
    if (value->size() > kMaxValue) {
        value->resize(kMaxValue);
        return false;
    }
    return true;
}

const std::string* cLogProperties::find(const std::string& prefix, const char* suffix) const {
    auto it = mKeys.find(prefix + suffix);
    return it != mKeys.end() ? &it->second : nullptr;
}

std::string cLogProperties::get(const std::string& prefix, const char* suffix,
                                const char* fallback) const {
    const std::string* value = find(prefix, suffix);
    return value != nullptr ? *value : fallback;
}

int cLogProperties::getInt(const std::string& prefix, const char* suffix, int fallback) const {
    const std::string* value = find(prefix, suffix);
    return value != nullptr ? atoi(value->c_str()) : fallback;
}

bool cLogProperties::readAppender(const std::string& name, Appender* a, std::string* error) const {
    const std::string at = logkeys::kAppender + name;
    a->name = name;
    a->type = typeName(get(at, "", ""));
    a->toStderr = false;
    a->fileName = get(at, logkeys::kFileName, "foobar");  // log4cpp's default
    a->append = get(at, logkeys::kAppend, "true") == "true";
    a->maxFileSize = static_cast<size_t>(getInt(at, logkeys::kMaxFileSize, 10 * 1024 * 1024));
    int backups = getInt(at, logkeys::kMaxBackupIndex, 1);
    a->maxBackupIndex = backups > 0 ? static_cast<unsigned int>(backups) : 1;
    a->maxDaysKeep = static_cast<unsigned int>(getInt(at, logkeys::kMaxDaysKeep, 0));
    a->syslogName = get(at, logkeys::kSyslogName, "syslog");
    a->syslogHost = get(at, logkeys::kSyslogHost, "localhost");
    a->facility = getInt(at, logkeys::kFacility, -1) * 8;  // the codes of syslog.h
    a->portNumber = getInt(at, logkeys::kPortNumber, -1);
    a->threshold = get(at, logkeys::kThreshold, "");
    static const char* const kTypes[] = {"ConsoleAppender",     "FileAppender",
                                         "RollingFileAppender", "DailyRollingFileAppender",
                                         "SyslogAppender",      "LocalSyslogAppender"};
    if (a->type == "AbortAppender") {
        *error = "Appender '" + name + "' is an AbortAppender, which would end the service";
        return false;
    }
    if (std::find(std::begin(kTypes), std::end(kTypes), a->type) == std::end(kTypes)) {
        *error = "Appender '" + name + "' has unknown type '" + a->type + "'";
        return false;
    }
    if (a->type == "ConsoleAppender") {
        std::string target = get(at, logkeys::kTarget, "stdout");
        std::transform(target.begin(), target.end(), target.begin(),
                       [](unsigned char c) { return static_cast<char>(tolower(c)); });
        if (target != "stdout" && target != "stderr") {
            *error = "Appender '" + name + "' has invalid target '" + target + "'";
            return false;
        }
        a->toStderr = target == "stderr";
    }
    const std::string* layout = find(at, logkeys::kLayout);
    if (layout == nullptr) {
        *error = "Missing layout property for appender '" + name + "'";
        return false;
    }
    a->layout = typeName(*layout);
    if (a->layout != "BasicLayout" && a->layout != "SimpleLayout" && a->layout != "PatternLayout") {
        *error = "Unknown layout type '" + a->layout + "' for appender '" + name + "'";
        return false;
    }
    const std::string* pattern = find(at, logkeys::kConversionPattern);
    a->hasPattern = a->layout == "PatternLayout" && pattern != nullptr;
    a->pattern = a->hasPattern ? *pattern : "";
    return true;
}

bool cLogProperties::withinBounds(const std::vector<Appender>& appenders,
                                  std::string* error) const {
    if (!mOverlong.empty()) {
        *error = "the value of " + mOverlong + " is longer than " + std::to_string(kMaxValue) +
                 " bytes once each ${NAME} in it is replaced";
        return false;
    }
    for (const Appender& a : appenders) {
        if (a.type == "RollingFileAppender" && a.maxBackupIndex > kMaxBackupIndex) {
            *error = "Appender '" + a.name + "' keeps " + std::to_string(a.maxBackupIndex) +
                     " backups (maxBackupIndex), more than " + std::to_string(kMaxBackupIndex);
            return false;
        }
        if (a.layout == "PatternLayout" && widestPadding(a.pattern) > kMaxPadding) {
            *error = "Appender '" + a.name + "' pads a conversion of its pattern to more than " +
                     std::to_string(kMaxPadding) + " characters";
            return false;
        }
    }
    return true;
}

bool cLogProperties::read(std::vector<Appender>* appenders, std::vector<Category>* categories,
                          std::string* error) const {
    appenders->clear();
    categories->clear();
    // As log4cpp walks them: "appender.NAME" defines NAME, and the keys of
    // NAME follow it in order; any other key under "appender." is partial.
    std::string current;  // "" at first, as in log4cpp: "appender." defines nothing
    for (auto it = mKeys.lower_bound(logkeys::kAppender); it != mKeys.lower_bound("appender/");
         ++it) {
        std::vector<std::string> parts = split(it->first, '.');
        if (parts[1] == current) {
            continue;
        }
        if (parts.size() != 2) {
            *error = "partial appender definition : " + it->first;
            return false;
        }
        current = parts[1];
        appenders->emplace_back();
        if (!readAppender(current, &appenders->back(), error)) {
            return false;
        }
    }
    if (!withinBounds(*appenders, error)) {
        return false;
    }
    std::vector<std::string> names = {logkeys::kRootCategory};
    for (auto it = mKeys.lower_bound(logkeys::kCategory); it != mKeys.lower_bound("category/");
         ++it) {
        names.push_back(it->first.substr(9));
    }
    for (const std::string& name : names) {
        bool root = name == logkeys::kRootCategory;
        auto value = mKeys.find(root ? name : logkeys::kCategory + name);
        if (value == mKeys.end()) {
            *error = "Unable to find category: " + name;
            return false;
        }
        std::vector<std::string> tokens = split(value->second, ',');
        categories->emplace_back();
        Category& c = categories->back();
        c.name = root ? "" : name;
        c.priority = trim(tokens[0]);
        c.additive = get(logkeys::kAdditivity, name.c_str(), "true") == "true";
        for (size_t i = 1; i < tokens.size(); ++i) {
            std::string appender = trim(tokens[i]);
            auto defined = [&](const Appender& a) { return a.name == appender; };
            if (std::none_of(appenders->begin(), appenders->end(), defined)) {
                *error = "Appender '";
                error->append(appender).append("' not found for category '").append(name) += '\'';
                return false;
            }
            c.appenders.push_back(appender);
        }
    }
    return true;
}
