// ulxd-sim: a site daemon for the demo, the tests, the benchmark and a
// person. It serves the ports of a small site file over the site object
// protocol, prints every SET it applies, and takes commands on standard
// input (type "help").
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ObjectCodec.h"
#include "VWire.h"
#include "arg_parser.h"
#include "cObject.h"
#include "settings.h"

namespace {

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
    int fd;
    std::vector<uint8_t> in;
};

struct Sim {
    std::vector<Port> ports;
    std::vector<Client> clients;
    uint8_t eventSeq = 0;
    bool noSetReply = false;
};

const char* stateName(int s) {
    return s == cObject::OBJ_IO_STATE_SET     ? "set"
           : s == cObject::OBJ_IO_STATE_CLEAR ? "clear"
                                              : "unknown";
}

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

bool loadSite(const char* path, Sim& sim) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "ulxd-sim: cannot read site file %s\n", path);
        return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::vector<std::string> t = tokens(line);
        if (t.empty()) {
            continue;
        }
        if (t[0] != "port" || t.size() < 5) {
            fprintf(stderr, "ulxd-sim: %s:%d: expected 'port SERIAL PORT_ID TYPE LABEL [STATE]'\n",
                    path, lineNo);
            return false;
        }
        Port p{};
        p.serial = static_cast<uint32_t>(strtoul(t[1].c_str(), nullptr, 10));
        p.id = static_cast<uint32_t>(strtoul(t[2].c_str(), nullptr, 10));
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
            fprintf(stderr, "ulxd-sim: %s:%d: unknown port type '%s'\n", path, lineNo,
                    t[3].c_str());
            return false;
        }
        p.label = t[4];
        p.state = cObject::OBJ_IO_STATE_CLEAR;
        if (t.size() > 5) {
            p.state = t[5] == "set"       ? cObject::OBJ_IO_STATE_SET
                      : t[5] == "unknown" ? cObject::OBJ_IO_STATE_UNKNOWN
                                          : cObject::OBJ_IO_STATE_CLEAR;
        }
        sim.ports.push_back(p);
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

void sendBytes(int fd, const std::vector<uint8_t>& bytes) {
    // A failed write is left to the read side, which notices the closed
    // connection.
    (void)vwire::sendAll(fd, bytes);
}

void sendMsg(int fd, const VMsg& msg) {
    std::vector<uint8_t> bytes;
    if (vwire::encode(msg, bytes)) {
        sendBytes(fd, bytes);
    }
}

void sendErr(int fd, uint8_t msgId, uint8_t seq, int tagAtFault = -1) {
    VMsg err(vwire::MSG_ERR, seq);
    err.addTag(new VTagUInt8(objcodec::TAG_ERR_MSGID, msgId));
    if (tagAtFault >= 0) {
        err.addTag(new VTagUInt8(objcodec::TAG_ERR_TAGID, static_cast<uint8_t>(tagAtFault)));
    }
    sendMsg(fd, err);
}

void broadcast(Sim& sim, const VMsg& msg) {
    std::vector<uint8_t> bytes;
    if (!vwire::encode(msg, bytes)) {
        return;
    }
    for (Client& c : sim.clients) {
        sendBytes(c.fd, bytes);
    }
}

void handleGet(Sim& sim, int fd, const VMsg& msg) {
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
        sendMsg(fd, *out);
    } else {
        sendErr(fd, vwire::MSG_GET, msg.mMsgSeq, objcodec::TAG_PORT_PNUM);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

void handleSet(Sim& sim, int fd, const VMsg& msg) {
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
        sendErr(fd, vwire::MSG_SET, msg.mMsgSeq, faultTag);
        query->deleteObjects();
        return;
    }
    cObjectList reply(vwire::MSG_SET, msg.mMsgSeq);
    for (size_t i = 0; i < query->size(); ++i) {
        auto* q = static_cast<cObjectDOutput*>(query->at(i));
        Port* p = findPort(sim, q->getDeviceSerial(), q->getPortId());
        p->state = q->getOutputState();
        printf("SET serial=%u port=%u label=%s state=%s\n", p->serial, p->id, p->label.c_str(),
               stateName(p->state));
        reply.add(portObject(*p));
    }
    fflush(stdout);
    if (!sim.noSetReply) {
        std::unique_ptr<VMsg> out(objcodec::toMessage(reply, vwire::MSG_SET, msg.mMsgSeq));
        sendMsg(fd, *out);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

// Handles the bytes a client sent; false when the connection must close.
bool serveClient(Sim& sim, Client& c) {
    size_t offset = 0;
    while (offset < c.in.size()) {
        vwire::DecodeResult r = vwire::decode(c.in.data() + offset, c.in.size() - offset);
        if (r.status == vwire::DecodeStatus::kNeedMore) {
            break;
        }
        if (r.status == vwire::DecodeStatus::kMalformed) {
            printf("DROP malformed message from a client: %s\n", r.error);
            fflush(stdout);
            return false;
        }
        offset += r.consumed;
        std::unique_ptr<VMsg> msg(r.msg);
        if (msg->mMsgID == vwire::MSG_GET) {
            handleGet(sim, c.fd, *msg);
        } else if (msg->mMsgID == vwire::MSG_SET) {
            handleSet(sim, c.fd, *msg);
        } else {
            sendErr(c.fd, msg->mMsgID, msg->mMsgSeq);
        }
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

void dropAll(Sim& sim) {
    for (Client& c : sim.clients) {
        close(c.fd);
    }
    sim.clients.clear();
    printf("DROPPED all connections\n");
    fflush(stdout);
}

// Runs one command line; false to quit.
bool command(Sim& sim, const std::string& line) {
    std::vector<std::string> t = tokens(line);
    if (t.empty()) {
        return true;
    }
    if (t[0] == "scan" && t.size() >= 3) {
        // The code is everything after the serial and one blank.
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
    } else if (t[0] == "event") {
        cObjectEvent event(t.size() > 1 ? static_cast<uint32_t>(strtoul(t[1].c_str(), nullptr, 10))
                                        : 0);
        VMsg msg(vwire::MSG_EVT, sim.eventSeq++);
        objcodec::appendObject(msg, event);
        broadcast(sim, msg);
    } else if (t[0] == "msg" && t.size() >= 2) {
        VMsg msg(static_cast<uint8_t>(strtoul(t[1].c_str(), nullptr, 10)),
                 t.size() > 2 ? static_cast<uint8_t>(strtoul(t[2].c_str(), nullptr, 10))
                              : sim.eventSeq++);
        broadcast(sim, msg);
    } else if (t[0] == "raw" && t.size() >= 2) {
        std::vector<uint8_t> bytes;
        std::string hex;
        for (size_t i = 1; i < t.size(); ++i) {
            hex += t[i];
        }
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        }
        for (Client& c : sim.clients) {
            sendBytes(c.fd, bytes);
        }
    } else if (t[0] == "seq" && t.size() >= 2) {
        sim.eventSeq = static_cast<uint8_t>(strtoul(t[1].c_str(), nullptr, 10));
    } else if (t[0] == "drop") {
        dropAll(sim);
    } else if (t[0] == "states") {
        for (const Port& p : sim.ports) {
            if (p.objType == cObject::OBJ_PORT_DOUT) {
                printf("STATE serial=%u port=%u label=%s state=%s\n", p.serial, p.id,
                       p.label.c_str(), stateName(p.state));
            }
        }
        printf("STATES END\n");
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

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static char host[64] = "127.0.0.1";
    static char portText[16];
    snprintf(portText, sizeof(portText), "%u", static_cast<unsigned>(settings::kDaemonPort));
    static char sitePath[4096] = "";
    int noSetReply = 0;
    argParser::argument_option options[] = {
        {'a', "host", "address to listen on (default 127.0.0.1)", 1, nullptr, 0, host,
         sizeof(host)},
        {'p', "port", "port to listen on (default 60000)", 1, nullptr, 0, portText,
         sizeof(portText)},
        {'s', "site", "site file (required)", 1, nullptr, 0, sitePath, sizeof(sitePath)},
        {0, "no-set-reply", "apply SET requests but never answer them", 0, &noSetReply, 1, nullptr,
         0},
        {0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0}};
    if (!argParser::getArguments(argc, argv, options)) {
        printf("%s", kUsageExtra);
        return 0;
    }
    if (sitePath[0] == '\0') {
        fprintf(stderr, "ulxd-sim: --site FILE is required (see --help)\n");
        return 2;
    }
    Sim sim;
    sim.noSetReply = noSetReply != 0;
    if (!loadSite(sitePath, sim)) {
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(portText)));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "ulxd-sim: not an IPv4 address: %s\n", host);
        return 2;
    }
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 16) != 0) {
        fprintf(stderr, "ulxd-sim: cannot listen on %s port %s: %s\n", host, portText,
                strerror(errno));
        return 1;
    }
    printf("LISTENING %s %s ports=%zu\n", host, portText, sim.ports.size());
    bool stdinOpen = true;
    std::string pending;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        fds.push_back({stdinOpen ? 0 : -1, POLLIN, 0});
        for (const Client& c : sim.clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                sim.clients.push_back(Client{fd, {}});
                printf("CONNECTED clients=%zu\n", sim.clients.size());
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buf[4096];
            ssize_t n = read(0, buf, sizeof(buf));
            if (n <= 0) {
                stdinOpen = false;  // keep serving; stop with a signal
            } else {
                pending.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    std::string line = pending.substr(0, nl);
                    pending.erase(0, nl + 1);
                    if (!command(sim, line)) {
                        return 0;
                    }
                }
            }
        }
        // Clients: indexes 2.. match sim.clients as they were before accept.
        std::vector<int> closed;
        for (size_t i = 2; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            Client* c = nullptr;
            for (Client& cl : sim.clients) {
                if (cl.fd == fds[i].fd) {
                    c = &cl;
                }
            }
            if (c == nullptr) {
                continue;
            }
            uint8_t buf[65536];
            ssize_t n = recv(c->fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || (c->in.insert(c->in.end(), buf, buf + n), !serveClient(sim, *c))) {
                closed.push_back(c->fd);
            }
        }
        for (int fd : closed) {
            close(fd);
            for (size_t i = 0; i < sim.clients.size(); ++i) {
                if (sim.clients[i].fd == fd) {
                    sim.clients.erase(sim.clients.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
            printf("DISCONNECTED clients=%zu\n", sim.clients.size());
        }
    }
    return 0;
}
