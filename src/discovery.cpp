#include "src/discovery.h"

#include <cstdio>
#include <thread>

#include "ulxobj/PortMatch.h"
#include "vutil/VText.h"

namespace {

// Listed by name in the missing line; the rest are counted.
const size_t kNamedMissing = 8;

std::string shown(const std::string& label) {
    return vutil::escape(label.data(), label.size());
}

using ulxobj::portName;

}  // namespace

cDiscovery::cDiscovery(cObjectClient* client, std::function<void()> step,
                       std::chrono::milliseconds wait, bool progressLines)
    : cVlog("DorvaneManager"),
      mClient(client),
      mStep(std::move(step)),
      mWait(wait),
      mProgressLines(progressLines),
      mList(LIST_UNANSWERED),
      mAskList(true),
      mNoted(false),
      mFoundSaid(0) {}

void cDiscovery::say(const char* line) const {
    if (mProgressLines) {
        printf("%s\n", line);
        fflush(stdout);
    }
}

bool cDiscovery::pending() const {
    if (mList != LIST_ANSWERED) {
        return true;
    }
    for (const Port& port : mPorts) {
        if (port.output == nullptr) {
            return true;
        }
    }
    return false;
}

bool cDiscovery::run(std::vector<cObjectDOutput*>* outputs, bool newConnection) {
    if (newConnection || mAskList) {
        fetchList();
    }
    for (Port& port : mPorts) {
        // A label holding a NUL waits for the list to be asked again.
        if (port.output == nullptr && port.label.find('\0') == std::string::npos) {
            fetchPort(port);
        }
    }
    outputs->clear();
    for (const Port& port : mPorts) {
        if (port.output != nullptr) {
            outputs->push_back(port.output);
        }
    }
    noteMissing();
    return !pending();
}

void cDiscovery::fetchList() {
    cObjectPort p;
    p.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectList tx;
    tx.add(&p);
    mStep();
    say("Getting Device");
    cObjectList* rx = mClient->get(&tx);
    std::this_thread::sleep_for(mWait);
    mStep();
    say("GOT THE Device");
    if (rx == nullptr) {
        say("Our pointer is NULL");
        mList = LIST_UNANSWERED;  // no reply, ERR or no connection: asked again
        mAskList = true;
        return;
    }
    std::vector<Port> listed;
    for (cObject* obj = rx->first(); obj != nullptr; obj = rx->next()) {
        cObjectPort* rp = dynamic_cast<cObjectPort*>(obj);
        if (rp == nullptr) {
            break;  // the objects after a foreign one are not looked at
        }
        if (rp->getPortType() == cObjectPort::PORT_TYPE_DISCRETE_OUT) {
            listed.push_back(
                {rp->getDeviceSerial(), rp->getPortId(), rp->getPortLabelBytes(), nullptr});
        }
    }
    rx->deleteObjects();
    delete rx;
    takeListed(listed);
}

void cDiscovery::takeListed(const std::vector<Port>& listed) {
    // An empty list is a daemon that has not loaded its modules yet.
    mList = listed.empty() ? LIST_EMPTY : LIST_ANSWERED;
    mAskList = listed.empty();
    if (listed.empty()) {
        return;
    }
    auto named = [&listed](const Port& port) {
        for (const Port& l : listed) {
            if (l.serial == port.serial && l.id == port.id) {
                return true;
            }
        }
        return false;
    };
    // Fetched outputs stay, listed or not; a missing one the list no longer
    // names is gone from the site.
    std::vector<Port> ports;
    for (const Port& port : mPorts) {
        if (port.output != nullptr || named(port)) {
            ports.push_back(port);
        }
    }
    for (const Port& l : listed) {
        Port* known = nullptr;
        for (Port& port : ports) {
            if (port.serial == l.serial && port.id == l.id) {
                known = &port;
                break;
            }
        }
        if (known == nullptr) {
            ports.push_back(l);
            known = &ports.back();
        } else if (known->output == nullptr) {
            known->label = l.label;  // not fetched yet: the newest label counts
        } else {
            continue;  // known: its object keeps its label and the service's state
        }
        if (l.label.find('\0') != std::string::npos) {
            warn(
                "discovery: the port list names %s with a port label holding a NUL byte; that "
                "output stays missing and the list is asked again",
                portName(l.serial, l.id, l.label).c_str());
            mAskList = true;
        }
    }
    mPorts.swap(ports);
}

bool cDiscovery::isPortAsked(const Port& port, const cObjectDOutput& asked, const cObject* reply) {
    std::string what;
    if (!ulxobj::isSameOutput(asked, *reply)) {
        what = ulxobj::describe(*reply);
    } else if (static_cast<const cObjectDOutput*>(reply)->portLabelHoldsNul()) {
        what = "a port label holding a NUL byte (" +
               shown(static_cast<const cObjectDOutput*>(reply)->getPortLabelBytes()) + ")";
    } else {
        return true;
    }
    warn("discovery: the GET of %s was answered with %s, not that port; that output stays missing",
         portName(port.serial, port.id, port.label).c_str(), what.c_str());
    return false;
}

void cDiscovery::fetchPort(Port& port) {
    cObjectDOutput op;
    op.setDeviceSerial(port.serial);
    op.setPortId(port.id);
    op.setPortLabel(port.label);
    op.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObject* fetched = mClient->get(&op);
    bool asked = fetched != nullptr && isPortAsked(port, op, fetched);
    std::this_thread::sleep_for(mWait);
    mStep();
    if (asked) {
        cObjectDOutput* rop = static_cast<cObjectDOutput*>(fetched);
        rop->setPortLabel(port.label);  // the list reply's label counts
        port.output = rop;
    } else {
        // No reply, an ERR or another port: missing, asked again.
        delete fetched;
        say("The Return Output Port is NULL");
    }
}

std::string cDiscovery::missingText() const {
    std::string named;
    size_t missing = 0;
    for (const Port& port : mPorts) {
        if (port.output != nullptr) {
            continue;
        }
        if (++missing <= kNamedMissing) {
            named += (named.empty() ? "" : ", ") + portName(port.serial, port.id, port.label);
        }
    }
    if (missing > kNamedMissing) {
        named += " and " + std::to_string(missing - kNamedMissing) + " more";
    }
    std::string text = mList == LIST_UNANSWERED ? "the port list"
                       : mList == LIST_EMPTY    ? "the port list (it named no discrete output)"
                                                : "";
    if (missing > 0) {
        text += (text.empty() ? "" : " and ") + std::to_string(missing) + " of " +
                std::to_string(mPorts.size()) + " discrete outputs: " + named;
    }
    return text;
}

void cDiscovery::noteMissing() {
    std::string missing = missingText();
    size_t found = 0;
    for (const Port& port : mPorts) {
        found += port.output != nullptr ? 1 : 0;
    }
    // A list asked again may add outputs with nothing missing before or
    // after: that is said too. A first run that found everything is said by
    // the start-up line.
    bool said = missing == mMissingSaid && (!missing.empty() || found == mFoundSaid);
    bool first = !mNoted;
    mNoted = true;
    mMissingSaid = missing;
    mFoundSaid = found;
    if (said || (first && missing.empty())) {
        return;
    }
    if (!missing.empty()) {
        warn("discovery incomplete, missing %s; it runs again while the site daemon is connected",
             missing.c_str());
    } else {
        info("discovery found %zu outputs", found);
    }
}
