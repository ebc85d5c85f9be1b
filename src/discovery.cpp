#include "src/discovery.h"

#include <unistd.h>

#include <cstdio>

#include "vutil/VText.h"

namespace {

// Listed by name in the missing line; the rest are counted.
const size_t kNamedMissing = 8;

bool noAnswer(cObjectClient::eRequestOutcome outcome) {
    return outcome == cObjectClient::REQUEST_NO_REPLY ||
           outcome == cObjectClient::REQUEST_NO_CONNECTION;
}

}  // namespace

cDiscovery::cDiscovery(cObjectClient* client, std::function<void()> step, unsigned waitSec,
                       bool progressLines)
    : cVlog("DorvaneManager"),
      mClient(client),
      mStep(std::move(step)),
      mWaitSec(waitSec),
      mProgressLines(progressLines),
      mListKnown(false) {}

void cDiscovery::say(const char* line) const {
    if (mProgressLines) {
        printf("%s\n", line);
        fflush(stdout);
    }
}

bool cDiscovery::pending() const {
    if (!mListKnown) {
        return true;
    }
    for (const Port& port : mPorts) {
        if (port.state == PORT_MISSING) {
            return true;
        }
    }
    return false;
}

bool cDiscovery::run(std::vector<cObjectDOutput*>* outputs) {
    if (!mListKnown) {
        fetchList();
    }
    for (Port& port : mPorts) {
        if (port.state == PORT_MISSING) {
            fetchPort(port);
        }
    }
    outputs->clear();
    for (const Port& port : mPorts) {
        if (port.state == PORT_FETCHED) {
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
    cObjectClient::eRequestOutcome outcome;
    cObjectList* rx = mClient->get(&tx, &outcome);
    sleep(mWaitSec);
    mStep();
    say("GOT THE Device");
    if (rx == nullptr) {
        say("Our pointer is NULL");
        return;  // no reply, ERR or no connection: the list is still missing
    }
    mListKnown = true;
    for (cObject* obj = rx->first(); obj != nullptr; obj = rx->next()) {
        cObjectPort* rp = dynamic_cast<cObjectPort*>(obj);
        if (rp == nullptr) {
            break;  // the objects after a foreign one are not looked at
        }
        if (rp->getPortType() == cObjectPort::PORT_TYPE_DISCRETE_OUT) {
            mPorts.push_back({rp->getDeviceSerial(), rp->getPortId(), rp->getPortLabel(),
                              PORT_MISSING, nullptr});
        }
    }
    rx->deleteObjects();
    delete rx;
}

void cDiscovery::fetchPort(Port& port) {
    cObjectDOutput op;
    op.setDeviceSerial(port.serial);
    op.setPortId(port.id);
    op.setPortLabel(port.label.c_str());
    op.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectClient::eRequestOutcome outcome;
    cObject* fetched = mClient->get(&op, &outcome);
    cObjectDOutput* rop = dynamic_cast<cObjectDOutput*>(fetched);
    if (rop == nullptr) {
        delete fetched;
    }
    sleep(mWaitSec);
    mStep();
    if (rop != nullptr) {
        rop->setPortLabel(port.label.c_str());  // the list reply's label counts
        port.output = rop;
        port.state = PORT_FETCHED;
    } else {
        say("The Return Output Port is NULL");
        // A refusal is an answer; only silence is asked again.
        port.state = noAnswer(outcome) ? PORT_MISSING : PORT_DROPPED;
    }
}

std::string cDiscovery::missingText() const {
    if (!mListKnown) {
        return "the port list";
    }
    std::string named;
    size_t missing = 0;
    for (const Port& port : mPorts) {
        if (port.state != PORT_MISSING) {
            continue;
        }
        if (++missing <= kNamedMissing) {
            named += (named.empty() ? "" : ", ") + std::string("serial ") +
                     std::to_string(port.serial) + " port " + std::to_string(port.id) + " (" +
                     vutil::escape(port.label.c_str(), port.label.size()) + ")";
        }
    }
    if (missing > kNamedMissing) {
        named += " and " + std::to_string(missing - kNamedMissing) + " more";
    }
    return missing == 0 ? std::string()
                        : std::to_string(missing) + " of " + std::to_string(mPorts.size()) +
                              " discrete outputs: " + named;
}

void cDiscovery::noteMissing() {
    std::string missing = missingText();
    if (missing == mMissingSaid) {
        return;
    }
    if (!missing.empty()) {
        warn("discovery incomplete, missing %s; it runs again while the site daemon is connected",
             missing.c_str());
    } else {
        size_t found = 0;
        for (const Port& port : mPorts) {
            found += port.state == PORT_FETCHED ? 1 : 0;
        }
        info("discovery found %zu outputs", found);
    }
    mMissingSaid = missing;
}
