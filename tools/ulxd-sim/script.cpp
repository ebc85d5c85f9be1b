#include "tools/ulxd-sim/script.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace ulxdsim {

const char* const kUsageExtra =
    "\n"
    "Site file: one port per line, '#' starts a comment:\n"
    "  port SERIAL PORT_ID TYPE LABEL [STATE]\n"
    "  TYPE is din, dout, ain or aout; STATE (dout only) is set, clear or unknown\n"
    "  (default clear). A LABEL with spaces stands in double quotes.\n"
    "Commands on standard input:\n"
    "  scan SERIAL CODE   an access event (the code is the rest of the line)\n"
    "  event [NUMBER]     an event message with one event object\n"
    "  msg ID [SEQ]       a message of any id, without objects\n"
    "  seq N              the next event message gets sequence number N\n"
    "  raw HEX            raw bytes, as written, to every client\n"
    "  drop               close every client connection\n"
    "  states             print every output's state\n"
    "  quit               stop\n";

namespace {

// "scan SERIAL CODE": an access event; the code is everything after the
// serial and one blank.
void scanCommand(Sim& sim, const std::string& line, const std::vector<std::string>& t) {
    size_t pos = line.find(t[1], line.find("scan") + 4) + t[1].size() + 1;
    std::string code = pos <= line.size() ? line.substr(pos) : "";
    if (!code.empty() && code.back() == '\r') {
        code.pop_back();
    }
    cObjectAccess access;
    access.setDeviceSerial(static_cast<uint32_t>(strtoul(t[1].c_str(), nullptr, 10)));
    access.setScanCode(code.c_str());
    VMsg msg(vmsg::MSG_EVT, sim.eventSeq++);
    ulxobj::appendObject(msg, access);
    broadcast(sim, msg);
}

// "raw HEX...": the bytes as written, to every client.
void rawCommand(Sim& sim, const std::vector<std::string>& t) {
    std::vector<uint8_t> bytes;
    std::string hex;
    for (size_t i = 1; i < t.size(); ++i) {
        hex += t[i];
    }
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    broadcast(sim, bytes);
}

// "states": every output's state.
void statesCommand(const Sim& sim) {
    for (const Port& p : sim.ports) {
        if (p.objType == cObject::OBJ_PORT_DOUT) {
            printf("STATE serial=%u port=%u label=%s state=%s\n", p.serial, p.id, p.label.c_str(),
                   cObject::stateName(p.state));
        }
    }
    printf("STATES END\n");
}

// A message of its own: "event [NUMBER]" or "msg ID [SEQ]".
void messageCommand(Sim& sim, const std::vector<std::string>& t) {
    auto number = [&](size_t i) { return strtoul(t[i].c_str(), nullptr, 10); };
    if (t[0] == "event") {
        cObjectEvent event(t.size() > 1 ? static_cast<uint32_t>(number(1)) : 0);
        VMsg msg(vmsg::MSG_EVT, sim.eventSeq++);
        ulxobj::appendObject(msg, event);
        broadcast(sim, msg);
        return;
    }
    VMsg msg(static_cast<uint8_t>(number(1)),
             t.size() > 2 ? static_cast<uint8_t>(number(2)) : sim.eventSeq++);
    broadcast(sim, msg);
}

// Runs one command line; false to quit.
bool command(Sim& sim, const std::string& line) {
    std::vector<std::string> t = tokens(line);
    if (t.empty()) {
        return true;
    }
    if (t[0] == "scan" && t.size() >= 3) {
        scanCommand(sim, line, t);
    } else if (t[0] == "event" || (t[0] == "msg" && t.size() >= 2)) {
        messageCommand(sim, t);
    } else if (t[0] == "raw" && t.size() >= 2) {
        rawCommand(sim, t);
    } else if (t[0] == "seq" && t.size() >= 2) {
        sim.eventSeq = static_cast<uint8_t>(strtoul(t[1].c_str(), nullptr, 10));
    } else if (t[0] == "drop") {
        dropAll(sim);
    } else if (t[0] == "states") {
        statesCommand(sim);
    } else if (t[0] == "quit") {
        return false;
    } else if (t[0] == "help") {
        printf("%s", kUsageExtra);
    } else {
        printf("ERROR unknown command: %s (type help)\n", line.c_str());
    }
    fflush(stdout);
    return true;
}

}  // namespace

bool takeInput(Sim& sim, Input& in, const char* bytes, size_t n) {
    const char* tooLong = "ERROR command line longer than %zu bytes dropped\n";
    in.pending.append(bytes, n);
    size_t start = 0, nl;
    bool go = true;
    while (go && (nl = in.pending.find('\n', start)) != std::string::npos) {
        if (!in.skipping && nl - start > kMaxCommandLine) {
            printf(tooLong, kMaxCommandLine);
        } else if (!in.skipping) {
            go = command(sim, in.pending.substr(start, nl - start));
        }
        in.skipping = false;
        start = nl + 1;
    }
    in.pending.erase(0, start);
    if (in.pending.size() > kMaxCommandLine) {
        if (!in.skipping) {
            printf(tooLong, kMaxCommandLine);
        }
        in.skipping = true;
        in.pending.clear();
    }
    fflush(stdout);
    return go;
}

}  // namespace ulxdsim
