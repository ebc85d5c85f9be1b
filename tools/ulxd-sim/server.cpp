#include "tools/ulxd-sim/server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace ulxdsim {

namespace {

// Writes what the socket takes of the client's queue, and drops a client
// that fails or lags too far behind.
void push(Client& c) {
    if (!c.out.flush(c.fd)) {
        c.dead = true;
    } else if (c.out.unsent() > kMaxUnsent) {
        printf("DROP a client that does not read: more than %zu bytes unsent\n", kMaxUnsent);
        c.dead = true;
    }
}

void sendMsg(Client& c, const VMsg& msg) {
    if (!c.dead && c.out.add(msg)) {
        push(c);
    }
}

void sendErr(Client& c, uint8_t msgId, uint8_t seq, int tagAtFault = -1) {
    VMsg err(vmsg::MSG_ERR, seq);
    err.addTag(new VTagUInt8(ulxobj::TAG_ERR_MSGID, msgId));
    if (tagAtFault >= 0) {
        err.addTag(new VTagUInt8(ulxobj::TAG_ERR_TAGID, static_cast<uint8_t>(tagAtFault)));
    }
    sendMsg(c, err);
}

// The ports a GET asks for, into reply; false when one is not in the site.
bool portsAsked(Sim& sim, const cObjectList& query, cObjectList& reply) {
    if (query.size() == 1 && query.at(0)->getType() == cObject::OBJ_PORT) {
        for (const Port& p : sim.ports) {
            reply.add(portObject(p));
        }
        return true;
    }
    for (size_t i = 0; i < query.size(); ++i) {
        auto* q = dynamic_cast<cObjectPort*>(query.at(i));
        Port* p =
            q != nullptr ? findPort(sim.ports, q->getDeviceSerial(), q->getPortId()) : nullptr;
        if (p == nullptr) {
            return false;
        }
        reply.add(portObject(*p));
    }
    return query.size() > 0;
}

void handleGet(Sim& sim, Client& c, const VMsg& msg) {
    std::unique_ptr<cObjectList> query(ulxobj::fromMessage(msg));
    cObjectList reply(vmsg::MSG_GET, msg.mMsgSeq);
    if (portsAsked(sim, *query, reply)) {
        std::unique_ptr<VMsg> out(ulxobj::toMessage(reply, vmsg::MSG_GET, msg.mMsgSeq));
        sendMsg(c, *out);
    } else {
        sendErr(c, vmsg::MSG_GET, msg.mMsgSeq, ulxobj::TAG_PORT_PNUM);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

// The tag at fault in a SET request, or -1 when every object names an
// output of the site and a state it can take.
int setFault(Sim& sim, const cObjectList& query) {
    if (query.size() == 0) {
        return ulxobj::TAG_PORT_PNUM;
    }
    for (size_t i = 0; i < query.size(); ++i) {
        auto* q = dynamic_cast<cObjectDOutput*>(query.at(i));
        Port* p =
            q != nullptr ? findPort(sim.ports, q->getDeviceSerial(), q->getPortId()) : nullptr;
        if (p == nullptr || p->objType != cObject::OBJ_PORT_DOUT) {
            return ulxobj::TAG_PORT_PNUM;
        }
        if (q->getOutputState() != cObject::OBJ_IO_STATE_SET &&
            q->getOutputState() != cObject::OBJ_IO_STATE_CLEAR) {
            return ulxobj::TAG_IO_STATE;
        }
    }
    return -1;
}

void handleSet(Sim& sim, Client& c, const VMsg& msg) {
    std::unique_ptr<cObjectList> query(ulxobj::fromMessage(msg));
    int faultTag = setFault(sim, *query);
    if (faultTag >= 0) {
        sendErr(c, vmsg::MSG_SET, msg.mMsgSeq, faultTag);
        query->deleteObjects();
        return;
    }
    cObjectList reply(vmsg::MSG_SET, msg.mMsgSeq);
    for (size_t i = 0; i < query->size(); ++i) {
        auto* q = static_cast<cObjectDOutput*>(query->at(i));
        Port* p = findPort(sim.ports, q->getDeviceSerial(), q->getPortId());
        p->state = q->getOutputState();
        printf("SET serial=%u port=%u label=%s state=%s\n", p->serial, p->id, p->label.c_str(),
               cObject::stateName(p->state));
        reply.add(portObject(*p));
    }
    fflush(stdout);
    if (!sim.noSetReply) {
        std::unique_ptr<VMsg> out(ulxobj::toMessage(reply, vmsg::MSG_SET, msg.mMsgSeq));
        sendMsg(c, *out);
    }
    reply.deleteObjects();
    query->deleteObjects();
}

// Answers the requests a client sent; false when the connection must close.
bool serveClient(Sim& sim, Client& c) {
    while (!c.dead) {
        std::unique_ptr<VMsg> msg = c.in.next();
        if (!msg) {
            break;
        }
        if (msg->mMsgID == vmsg::MSG_GET) {
            handleGet(sim, c, *msg);
        } else if (msg->mMsgID == vmsg::MSG_SET) {
            handleSet(sim, c, *msg);
        } else {
            sendErr(c, msg->mMsgID, msg->mMsgSeq);
        }
    }
    if (c.in.malformed()) {
        printf("DROP malformed message from a client: %s\n", c.in.error());
        fflush(stdout);
        return false;
    }
    return true;
}

}  // namespace

void broadcast(Sim& sim, const std::vector<uint8_t>& bytes) {
    for (Client& c : sim.clients) {
        if (!c.dead) {
            c.out.addBytes(bytes);
            push(c);
        }
    }
}

void broadcast(Sim& sim, const VMsg& msg) {
    std::vector<uint8_t> bytes;
    if (vmsg::encode(msg, bytes)) {
        broadcast(sim, bytes);
    }
}

void dropAll(Sim& sim) {
    for (Client& c : sim.clients) {
        close(c.fd);
    }
    sim.clients.clear();
    printf("DROPPED all connections\n");
    fflush(stdout);
}

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

void serveEvents(Sim& sim, Client& c, short revents) {
    if ((revents & POLLOUT) && !c.dead && !c.out.flush(c.fd)) {
        c.dead = true;
    }
    if (c.dead || (revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
    }
    vmsg::cFrameReader::eReceive got = c.in.receive(c.fd, false);
    if (got == vmsg::cFrameReader::CLOSED ||
        (got == vmsg::cFrameReader::RECEIVED && !serveClient(sim, c))) {
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

bool inputHeld(const Sim& sim) {
    Clock::time_point now = Clock::now();
    for (const Client& c : sim.clients) {
        if (!c.dead && c.out.unsent() > kPauseInput && !c.stalled(now)) {
            return true;
        }
    }
    return false;
}

}  // namespace ulxdsim
