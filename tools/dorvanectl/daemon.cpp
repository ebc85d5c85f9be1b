#include "tools/dorvanectl/daemon.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "src/settings.h"
#include "src/vmsg_printer.h"
#include "tools/dorvanectl/site.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/cObjectClient.h"
#include "vmsg/VWire.h"

namespace ctl {
namespace {

std::atomic<bool> gInterrupted{false};

class Watcher : public cObjectListener {
public:
    void handleObjectAction(cObjectList* rx) override {
        // Printed as the tags of its objects (tags before the first object,
        // such as an error's, are not kept by the client).
        VMsg* msg = ulxobj::toMessage(*rx, rx->getMsgType(), rx->getMsgSeq());
        bool known = msg->mMsgID <= 4;
        showMessage(msg);  // deletes a message of an unknown id itself
        if (known) {
            delete msg;
        }
        fflush(stdout);
    }
};

}  // namespace

int ports(const char* configPath) {
    Settings s = readSettings(configPath);
    cObjectClient client;
    cObjectList* rx = queryPorts(client, s.host);
    if (rx == nullptr) {
        fprintf(stderr, "site daemon %s port %u does not answer\n", shown(s.host).c_str(),
                static_cast<unsigned>(settings::kDaemonPort));
        return 1;
    }
    VMsg* msg = ulxobj::toMessage(*rx, vmsg::MSG_GET, rx->getMsgSeq());
    showMessage(msg);
    delete msg;
    rx->deleteObjects();
    delete rx;
    fflush(stdout);
    return 0;
}

int watch(const char* configPath) {
    Settings s = readSettings(configPath);
    Watcher watcher;
    cObjectClient client;
    client.addListener(&watcher);
    if (!client.start(s.host.c_str(), settings::kDaemonPort)) {
        fprintf(stderr, "site daemon %s port %u does not answer yet; waiting\n",
                shown(s.host).c_str(), static_cast<unsigned>(settings::kDaemonPort));
    }
    signal(SIGINT, [](int) { gInterrupted = true; });
    signal(SIGTERM, [](int) { gInterrupted = true; });
    while (!gInterrupted) {
        usleep(100000);
    }
    client.stop();
    return 0;
}

}  // namespace ctl
