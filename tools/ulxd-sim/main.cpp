// ulxd-sim: a site daemon for the demo, the tests, the benchmark and a
// person. It serves the ports of a small site file over the site object
// protocol, prints every SET it applies, and takes commands on standard
// input (type "help").
//
// Whatever it is fed, its memory stays bounded: the site file is read whole
// up to kMaxSiteFile, a command line longer than kMaxCommandLine is dropped,
// and every client has its own queue of unsent bytes, written without
// waiting. A client that lags more than kPauseInput behind pauses the
// reading of commands, as a blocking write would, so that a fast producer
// of events is paced by the service; one that takes nothing for kStall no
// longer does, and a client whose unsent bytes pass kMaxUnsent is dropped.
// The other clients are served all along.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ObjectCodec.h"
#include "VFile.h"
#include "VSocket.h"
#include "VWire.h"
#include "arg_parser.h"
#include "cObject.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t kMaxSiteFile = 1024 * 1024;   // some ten thousand port lines
const size_t kMaxCommandLine = 64 * 1024;  // a raw message of 32 KiB
const size_t kMaxUnsent = 1024 * 1024;     // per client
const size_t kPauseInput = 256 * 1024;     // per client
const Clock::duration kStall = std::chrono::seconds(5);
const size_t kMaxClients = 64;  // accept() never runs out of descriptors

const char* kUsageExtra =
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

struct Port {
    uint32_t serial;
    uint32_t id;
    cObject::eObjectTypes objType;
    cObjectPort::ePortType portType;
    std::string label;
    cObject::eObjectIOState state;
};

struct Client {
    int fd = -1;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;  // bytes from outStart on are not sent yet
    size_t outStart = 0;
    Clock::time_point lastTaken;  // when the socket last took bytes
    bool dead = false;            // closed at the end of the loop turn

    size_t unsent() const { return out.size() - outStart; }
    bool stalled(Clock::time_point now) const { return unsent() > 0 && now - lastTaken > kStall; }
};

struct Sim {
    std::vector<Port> ports;
    std::vector<Client> clients;
    uint8_t eventSeq = 0;
    bool noSetReply = false;
};

// Standard input, split into command lines.
struct Input {
    std::string pending;
    bool skipping = false;  // dropping the rest of a line that was too long
};

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

// A whole number of decimal digits from 0 to max; false for anything else
// (signs, blanks, an empty text, a number that does not fit).
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

// Adds the port of one site file line to sim; returns what is wrong with the
// line, or "" when it is good or blank.
// NOLINTNEXTLINE(readability-function-size): to be split with the site file
std::string parsePortLine(std::string line, Sim& sim,
                          std::set<std::pair<uint32_t, uint32_t>>& seen) {
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
    if (t[0] != "port" || t.size() < 5 || t.size() > 6) {
        return "expected 'port SERIAL PORT_ID TYPE LABEL [STATE]'";
    }
    unsigned long long serial, id;
    if (!wholeNumber(t[1], UINT32_MAX, &serial) || !wholeNumber(t[2], UINT32_MAX, &id)) {
        return "SERIAL and PORT_ID must be whole numbers from 0 to 4294967295";
    }
    Port p{};
    p.serial = static_cast<uint32_t>(serial);
    p.id = static_cast<uint32_t>(id);
    if (t[3] == "din") {
        p.objType = cObject::OBJ_PORT_DIN;
        p.portType = cObjectPort::PORT_TYPE_DISCRETE_IN;
    } else if (t[3] == "dout") {
        p.objType = cObject::OBJ_PORT_DOUT;
        p.portType = cObjectPort::PORT_TYPE_DISCRETE_OUT;
    } else if (t[3] == "ain") {
        p.objType = cObject::OBJ_PORT_AIN;
        p.portType = cObjectPort::PORT_TYPE_ANALOG_IN;
    } else if (t[3] == "aout") {
        p.objType = cObject::OBJ_PORT_AOUT;
        p.portType = cObjectPort::PORT_TYPE_ANALOG_OUT;
    } else {
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
    if (!seen.insert({p.serial, p.id}).second) {
        return "serial " + t[1] + " port " + t[2] + " is given twice";
    }
    sim.ports.push_back(p);
    return "";
}

// Loads the site file: a regular file of at most kMaxSiteFile bytes with at
// least one port line and no bad line. Every bad line is named.
bool loadSite(const char* path, Sim& sim) {
    std::string text, why;
    if (!vfile::readBounded(path, kMaxSiteFile, &text, &why)) {
        fprintf(stderr, "ulxd-sim: cannot use site file %s: %s\n", path, why.c_str());
        return false;
    }
    int lineNo = 0, bad = 0;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            nl = text.size();
        }
        ++lineNo;
        std::string error = parsePortLine(text.substr(pos, nl - pos), sim, seen);
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
    if (sim.ports.empty()) {
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

Port* findPort(Sim& sim, uint32_t serial, uint32_t id) {
    for (Port& p : sim.ports) {
        if (p.serial == serial && p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

// Hands the socket what it takes of the client's unsent bytes, without
// waiting. A connection that fails is closed at the end of the loop turn.
void flush(Client& c) {
    while (!c.dead && c.unsent() > 0) {
        ssize_t n = send(c.fd, c.out.data() + c.outStart, c.unsent(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.outStart += static_cast<size_t>(n);
            c.lastTaken = Clock::now();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            c.dead = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
    }
    if (c.outStart == c.out.size()) {
        c.out.clear();
        c.outStart = 0;
    } else if (c.outStart > kPauseInput) {  // the sent front is worth giving back
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outStart));
        c.outStart = 0;
    }
}

void sendBytes(Client& c, const std::vector<uint8_t>& bytes) {
    if (c.dead) {
        return;
    }
    if (c.unsent() == 0) {
        c.lastTaken = Clock::now();
    }
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    flush(c);
    if (!c.dead && c.unsent() > kMaxUnsent) {
        printf("DROP a client that does not read: more than %zu bytes unsent\n", kMaxUnsent);
        c.dead = true;
    }
}

void sendMsg(Client& c, const VMsg& msg) {
    std::vector<uint8_t> bytes;
    if (vwire::encode(msg, bytes)) {
        sendBytes(c, bytes);
    }
}

void sendErr(Client& c, uint8_t msgId, uint8_t seq, int tagAtFault = -1) {
    VMsg err(vwire::MSG_ERR, seq);
    err.addTag(new VTagUInt8(objcodec::TAG_ERR_MSGID, msgId));
    if (tagAtFault >= 0) {
        err.addTag(new VTagUInt8(objcodec::TAG_ERR_TAGID, static_cast<uint8_t>(tagAtFault)));
    }
    sendMsg(c, err);
}

void broadcast(Sim& sim, const VMsg& msg) {
    std::vector<uint8_t> bytes;
    if (!vwire::encode(msg, bytes)) {
        return;
    }
    for (Client& c : sim.clients) {
        sendBytes(c, bytes);
    }
}

void handleGet(Sim& sim, Client& c, const VMsg& msg) {
    std::unique_ptr<cObjectList> query(objcodec::fromMessage(msg));
    cObjectList reply(vwire::MSG_GET, msg.mMsgSeq);
    bool ok = true;
    if (query->size() == 1 && query->at(0)->getType() == cObject::OBJ_PORT) {
        for (const Port& p : sim.ports) {
            reply.add(portObject(p));
        }
    } else {
        for (size_t i = 0; i < query->size() && ok; ++i) {
            auto* q = dynamic_cast<cObjectPort*>(query->at(i));
            Port* p = q != nullptr ? findPort(sim, q->getDeviceSerial(), q->getPortId()) : nullptr;
            if (p == nullptr) {
                ok = false;
            } else {
                reply.add(portObject(*p));
            }
        }
        ok = ok && query->size() > 0;
    }
    if (ok) {
        std::unique_ptr<VMsg> out(objcodec::toMessage(reply, vwire::MSG_GET, msg.mMsgSeq));
        sendMsg(c, *out);
    } else {
        sendErr(c, vwire::MSG_GET, msg.mMsgSeq, objcodec::TAG_PORT_PNUM);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

void handleSet(Sim& sim, Client& c, const VMsg& msg) {
    std::unique_ptr<cObjectList> query(objcodec::fromMessage(msg));
    bool ok = query->size() > 0;
    int faultTag = objcodec::TAG_PORT_PNUM;
    for (size_t i = 0; i < query->size() && ok; ++i) {
        auto* q = dynamic_cast<cObjectDOutput*>(query->at(i));
        Port* p = q != nullptr ? findPort(sim, q->getDeviceSerial(), q->getPortId()) : nullptr;
        if (p == nullptr || p->objType != cObject::OBJ_PORT_DOUT) {
            ok = false;
        } else if (q->getOutputState() != cObject::OBJ_IO_STATE_SET &&
                   q->getOutputState() != cObject::OBJ_IO_STATE_CLEAR) {
            ok = false;
            faultTag = objcodec::TAG_IO_STATE;
        }
    }
    if (!ok) {
        sendErr(c, vwire::MSG_SET, msg.mMsgSeq, faultTag);
        query->deleteObjects();
        return;
    }
    cObjectList reply(vwire::MSG_SET, msg.mMsgSeq);
    for (size_t i = 0; i < query->size(); ++i) {
        auto* q = static_cast<cObjectDOutput*>(query->at(i));
        Port* p = findPort(sim, q->getDeviceSerial(), q->getPortId());
        p->state = q->getOutputState();
        printf("SET serial=%u port=%u label=%s state=%s\n", p->serial, p->id, p->label.c_str(),
               cObject::stateName(p->state));
        reply.add(portObject(*p));
    }
    fflush(stdout);
    if (!sim.noSetReply) {
        std::unique_ptr<VMsg> out(objcodec::toMessage(reply, vwire::MSG_SET, msg.mMsgSeq));
        sendMsg(c, *out);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

// Handles the bytes a client sent; false when the connection must close.
bool serveClient(Sim& sim, Client& c) {
    const char* error = nullptr;
    bool sound = vwire::drainFrames(
        c.in,
        [&](std::unique_ptr<VMsg> msg, const uint8_t*, size_t) {
            if (msg->mMsgID == vwire::MSG_GET) {
                handleGet(sim, c, *msg);
            } else if (msg->mMsgID == vwire::MSG_SET) {
                handleSet(sim, c, *msg);
            } else {
                sendErr(c, msg->mMsgID, msg->mMsgSeq);
            }
            return !c.dead;
        },
        &error);
    if (!sound) {
        printf("DROP malformed message from a client: %s\n", error);
        fflush(stdout);
    }
    return sound;
}

void dropAll(Sim& sim) {
    for (Client& c : sim.clients) {
        close(c.fd);
    }
    sim.clients.clear();
    printf("DROPPED all connections\n");
    fflush(stdout);
}

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
    VMsg msg(vwire::MSG_EVT, sim.eventSeq++);
    objcodec::appendObject(msg, access);
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
    for (Client& c : sim.clients) {
        sendBytes(c, bytes);
    }
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
        VMsg msg(vwire::MSG_EVT, sim.eventSeq++);
        objcodec::appendObject(msg, event);
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

// Runs the complete command lines that standard input brought; false when
// one says quit. A line longer than kMaxCommandLine is dropped with a
// message, and its bytes are skipped up to the next line feed, so input
// without line feeds cannot grow memory.
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

// True while a client that still takes bytes lags more than kPauseInput
// behind: commands then wait, as they did behind a blocking write.
bool inputHeld(const Sim& sim) {
    Clock::time_point now = Clock::now();
    for (const Client& c : sim.clients) {
        if (!c.dead && c.unsent() > kPauseInput && !c.stalled(now)) {
            return true;
        }
    }
    return false;
}

// Serves what poll reported for one client.
void serveEvents(Sim& sim, Client& c, short revents) {
    if (revents & POLLOUT) {
        flush(c);
    }
    if (c.dead || (revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
    }
    uint8_t buf[65536];
    ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (n <= 0) {
        c.dead = true;
        return;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    if (!serveClient(sim, c)) {
        c.dead = true;
    }
}

void closeDead(Sim& sim) {
    for (size_t i = 0; i < sim.clients.size();) {
        if (sim.clients[i].dead) {
            close(sim.clients[i].fd);
            sim.clients.erase(sim.clients.begin() + static_cast<std::ptrdiff_t>(i));
            printf("DISCONNECTED clients=%zu\n", sim.clients.size());
        } else {
            ++i;
        }
    }
}

// Refuses the command line: what is wrong, then the usage text.
int refuse(argParser::argument_option* options, const char* what, const char* word) {
    if (what != nullptr) {
        fprintf(stderr, "ulxd-sim: %s%s%s\n", what, word != nullptr ? ": " : "",
                word != nullptr ? word : "");
    }
    fprintf(stderr, "ulxd-sim: command line refused (see --help)\n");
    argParser::showHelp(options);
    return 2;
}

// The command line, as understood.
struct Options {
    char host[64] = "127.0.0.1";
    char portText[16] = "";
    char sitePath[4096] = "";
    int noSetReply = 0;
    unsigned short port = 0;
};

// Checks the values of the options: -1 when they are good, else 2.
int checkOptions(Options& opts) {
    unsigned long long port = 0;
    if (!wholeNumber(opts.portText, 65535, &port) || port == 0) {
        fprintf(stderr, "ulxd-sim: --port must be a whole number from 1 to 65535, not '%s'\n",
                opts.portText);
        return 2;
    }
    opts.port = static_cast<unsigned short>(port);
    in_addr address{};
    if (inet_pton(AF_INET, opts.host, &address) != 1) {
        fprintf(stderr, "ulxd-sim: --host must be an IPv4 address such as 127.0.0.1, not '%s'\n",
                opts.host);
        return 2;
    }
    if (opts.sitePath[0] == '\0') {
        fprintf(stderr, "ulxd-sim: --site FILE is required (see --help)\n");
        return 2;
    }
    return -1;
}

// Reads the command line into opts: -1 to go on, else the exit status.
int readOptions(int argc, char** argv, Options& opts) {
    snprintf(opts.portText, sizeof(opts.portText), "%u",
             static_cast<unsigned>(settings::kDaemonPort));
    argParser::argument_option options[] = {
        {'a', "host", "address to listen on (default 127.0.0.1)", 1, nullptr, 0, opts.host,
         sizeof(opts.host)},
        {'p', "port", "port to listen on (default 60000)", 1, nullptr, 0, opts.portText,
         sizeof(opts.portText)},
        {'s', "site", "site file (required)", 1, nullptr, 0, opts.sitePath, sizeof(opts.sitePath)},
        {0, "no-set-reply", "apply SET requests but never answer them", 0, &opts.noSetReply, 1,
         nullptr, 0},
        {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
    int refused = 0;
    bool run = argParser::getArguments(argc, argv, options, &refused);
    if (refused > 0) {
        return refuse(options, nullptr, nullptr);  // the parser has said what
    }
    if (!run) {
        printf("%s", kUsageExtra);
        return 0;
    }
    if (optind < argc) {
        return refuse(options, "unexpected argument", argv[optind]);
    }
    return checkOptions(opts);
}

// Takes a new client, or drops it when kMaxClients are connected already.
void acceptClient(Sim& sim, int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0 && sim.clients.size() >= kMaxClients) {
        close(fd);
        printf("DROP a new client: %zu clients are connected already\n", kMaxClients);
    } else if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        sim.clients.emplace_back();
        sim.clients.back().fd = fd;
        printf("CONNECTED clients=%zu\n", sim.clients.size());
    }
}

// Reads what standard input brought and runs its command lines; false when
// one says quit. At the end of input the simulator keeps serving (stop it
// with a signal).
bool readInput(Sim& sim, Input& input, bool& stdinOpen) {
    char buf[4096];
    ssize_t n = read(0, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n <= 0) {
        stdinOpen = false;
        return true;
    }
    return takeInput(sim, input, buf, static_cast<size_t>(n));
}

// Serves the clients and standard input until a command says quit or poll
// fails; the exit status (0 either way).
int serve(Sim& sim, int listener) {
    bool stdinOpen = true;
    Input input;
    for (;;) {
        bool held = inputHeld(sim);
        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        fds.push_back({stdinOpen && !held ? 0 : -1, POLLIN, 0});
        for (const Client& c : sim.clients) {
            short events = POLLIN | (c.unsent() > 0 ? POLLOUT : 0);
            fds.push_back({c.fd, events, 0});
        }
        // While commands wait, look again now and then: the lagging client
        // may stall.
        if (poll(fds.data(), fds.size(), held ? 100 : -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            acceptClient(sim, listener);
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) && !readInput(sim, input, stdinOpen)) {
            return 0;
        }
        // Clients: indexes 2.. match sim.clients as they were before accept;
        // a command may have dropped them all since.
        for (size_t i = 2; i < fds.size(); ++i) {
            for (Client& c : sim.clients) {
                if (c.fd == fds[i].fd && fds[i].revents != 0) {
                    serveEvents(sim, c, fds[i].revents);
                    break;
                }
            }
        }
        closeDead(sim);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static Options opts;
    int status = readOptions(argc, argv, opts);
    if (status >= 0) {
        return status;
    }
    Sim sim;
    sim.noSetReply = opts.noSetReply != 0;
    if (!loadSite(opts.sitePath, sim)) {
        return 2;
    }
    std::string why;
    int listener = vwire::listenOn(opts.host, opts.port, 16, &why);
    if (listener < 0) {
        fprintf(stderr, "ulxd-sim: cannot listen on %s port %s: %s\n", opts.host, opts.portText,
                why.c_str());
        return 1;
    }
    printf("LISTENING %s %s ports=%zu\n", opts.host, opts.portText, sim.ports.size());
    return serve(sim, listener);
}
