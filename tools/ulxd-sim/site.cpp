#include "tools/ulxd-sim/site.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "vutil/VFile.h"

namespace ulxdsim {

namespace {

const size_t kMaxSiteFile = 1024 * 1024;  // some ten thousand port lines

using Seen = std::set<std::pair<uint32_t, uint32_t>>;

// The object and port types of a TYPE word; false for an unknown word.
bool portType(const std::string& word, Port& p) {
    if (word == "din") {
        p.objType = cObject::OBJ_PORT_DIN;
        p.portType = cObjectPort::PORT_TYPE_DISCRETE_IN;
    } else if (word == "dout") {
        p.objType = cObject::OBJ_PORT_DOUT;
        p.portType = cObjectPort::PORT_TYPE_DISCRETE_OUT;
    } else if (word == "ain") {
        p.objType = cObject::OBJ_PORT_AIN;
        p.portType = cObjectPort::PORT_TYPE_ANALOG_IN;
    } else if (word == "aout") {
        p.objType = cObject::OBJ_PORT_AOUT;
        p.portType = cObjectPort::PORT_TYPE_ANALOG_OUT;
    } else {
        return false;
    }
    return true;
}

// The port of the words t of one line into p: what is wrong, or "".
std::string parsePort(const std::vector<std::string>& t, Port& p) {
    if (t[0] != "port" || t.size() < 5 || t.size() > 6) {
        return "expected 'port SERIAL PORT_ID TYPE LABEL [STATE]'";
    }
    unsigned long long serial, id;
    if (!wholeNumber(t[1], UINT32_MAX, &serial) || !wholeNumber(t[2], UINT32_MAX, &id)) {
        return "SERIAL and PORT_ID must be whole numbers from 0 to 4294967295";
    }
    p.serial = static_cast<uint32_t>(serial);
    p.id = static_cast<uint32_t>(id);
    if (!portType(t[3], p)) {
        return "unknown port type '" + t[3] + "'";
    }
    p.label = t[4];
    if (p.label.empty()) {
        return "the LABEL is empty";
    }
    p.state = cObject::OBJ_IO_STATE_CLEAR;
    if (t.size() > 5) {
        if (p.objType != cObject::OBJ_PORT_DOUT) {
            return "only a dout port has a STATE";
        }
        if (t[5] != "set" && t[5] != "clear" && t[5] != "unknown") {
            return "STATE must be set, clear or unknown, not '" + t[5] + "'";
        }
        p.state = t[5] == "set"       ? cObject::OBJ_IO_STATE_SET
                  : t[5] == "unknown" ? cObject::OBJ_IO_STATE_UNKNOWN
                                      : cObject::OBJ_IO_STATE_CLEAR;
    }
    return "";
}

// Adds the port of one site file line to ports; returns what is wrong with
// the line, or "" when it is good or blank.
std::string parsePortLine(std::string line, std::vector<Port>& ports, Seen& seen) {
    if (line.find('\0') != std::string::npos) {
        return "the line holds a NUL byte";
    }
    size_t hash = line.find('#');
    if (hash != std::string::npos) {
        line.erase(hash);
    }
    if (std::count(line.begin(), line.end(), '"') % 2 != 0) {
        return "a double quote is not closed";
    }
    std::vector<std::string> t = tokens(line);
    if (t.empty()) {
        return "";
    }
    Port p{};
    std::string error = parsePort(t, p);
    if (!error.empty()) {
        return error;
    }
    if (!seen.insert({p.serial, p.id}).second) {
        return "serial " + t[1] + " port " + t[2] + " is given twice";
    }
    ports.push_back(p);
    return "";
}

}  // namespace

std::vector<std::string> tokens(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        std::string t;
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                end = line.size();
            }
            t = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                t += line[i++];
            }
        }
        out.push_back(t);
    }
    return out;
}

bool wholeNumber(const std::string& text, unsigned long long max, unsigned long long* value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *value = v;
    return v <= max;
}

bool loadSite(const char* path, std::vector<Port>& ports) {
    std::string text, why;
    if (!vutil::readBounded(path, kMaxSiteFile, &text, &why)) {
        fprintf(stderr, "ulxd-sim: cannot use site file %s: %s\n", path, why.c_str());
        return false;
    }
    int lineNo = 0, bad = 0;
    Seen seen;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            nl = text.size();
        }
        ++lineNo;
        std::string error = parsePortLine(text.substr(pos, nl - pos), ports, seen);
        if (!error.empty()) {
            fprintf(stderr, "ulxd-sim: %s:%d: %s\n", path, lineNo, error.c_str());
            ++bad;
        }
        pos = nl + 1;
    }
    if (bad > 0) {
        fprintf(stderr, "ulxd-sim: site file %s has %d bad line%s\n", path, bad,
                bad == 1 ? "" : "s");
        return false;
    }
    if (ports.empty()) {
        fprintf(stderr, "ulxd-sim: site file %s has no port line\n", path);
        return false;
    }
    return true;
}

cObject* portObject(const Port& p) {
    cObjectPort* obj;
    if (p.objType == cObject::OBJ_PORT_DOUT) {
        auto* out = new cObjectDOutput();
        out->setOutputState(p.state);
        obj = out;
    } else {
        obj = new cObjectPort(p.objType);
    }
    obj->setDeviceSerial(p.serial);
    obj->setPortId(p.id);
    obj->setPortType(p.portType);
    obj->setPortLabel(p.label.c_str());
    return obj;
}

Port* findPort(std::vector<Port>& ports, uint32_t serial, uint32_t id) {
    for (Port& p : ports) {
        if (p.serial == serial && p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

}  // namespace ulxdsim
