#include "tests/service_site.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "src/timings.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace testutil {

ServiceTimings::ServiceTimings(const std::string& extra) {
    const char* before = getenv(timings::kVariable);
    mHad = before != nullptr;
    mBefore = mHad ? before : "";
    setenv(timings::kVariable, ((mHad ? mBefore + "," : "") + extra).c_str(), 1);
}

ServiceTimings::~ServiceTimings() {
    if (mHad) {
        setenv(timings::kVariable, mBefore.c_str(), 1);
    } else {
        unsetenv(timings::kVariable);
    }
}

std::vector<std::string> setsOn12(const std::string& states) {
    std::vector<std::string> lines;
    std::istringstream in(states);
    for (std::string word; in >> word;) {
        std::string label = word.substr(0, word.find('='));
        lines.push_back("SET serial=12 port=" + std::string(label == "A" ? "1" : "2") +
                        " label=" + label + " state=" + word.substr(label.size() + 1));
    }
    return lines;
}

std::string runShell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

ServiceSite::ServiceSite(const std::string& address) : mAddress(address) {}

void ServiceSite::pairs(const std::vector<Pairing>& readers) {
    std::string xml = "<?xml version=\"1.0\"?>\n<scl_connections>\n";
    for (const Pairing& p : readers) {
        xml += "  <Reader name=\"" + p.reader + "\"><IOlabel value=\"" + p.io +
               "\"/><LEDlabel value=\"" + p.led + "\"/></Reader>\n";
    }
    xml += "</scl_connections>\n";
    writeFile(mDir.file("pairs.xml"), xml);
}

void ServiceSite::codes(const Codes& rows) {
    makeCodesDb(mDir.file("access.db"), rows);
}

void ServiceSite::config(const std::string& extra, const std::string& priority) {
    writeFile(mDir.file("dorvane.conf"),
              extra + "host=" + mAddress + "\nioPairFile=pairs.xml\ndblocal=access.db\n" +
                  "log4cpp.rootCategory=" + priority + ", F\n" +
                  logAppender("F", "FileAppender", "service.log", "%c|%p|%m%n"));
}

bool ServiceSite::startSim(const std::string& siteText, const std::vector<std::string>& extraArgs) {
    writeFile(mDir.file("site.txt"), siteText);
    std::vector<std::string> argv = {DORVANE_SIM_BIN, "--host", mAddress, "--site",
                                     mDir.file("site.txt")};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    mSim.reset(new Process(argv));
    if (mSim->waitFor("LISTENING") < 0) {
        ADD_FAILURE() << "simulator did not start on " << mAddress;
        return false;
    }
    return true;
}

void ServiceSite::stopSim() {
    if (mSim) {
        mSim->stop();
        mSim.reset();
    }
}

void ServiceSite::startService() {
    mService.reset(new Process({DORVANE_SERVICE_BIN}, mDir.path()));
}

bool ServiceSite::waitReady(int timeoutMs) {
    return waitUntil(
        [&] {
            std::vector<std::string> lines = log("DatabaseHandler");
            return countContaining(lines, "opened database") +
                       countContaining(lines, "cannot open database") >
                   0;
        },
        timeoutMs);
}

ServiceSite& ServiceSite::files(const std::vector<Pairing>& readers, const Codes& rows) {
    pairs(readers);
    codes(rows);
    return *this;
}

void ServiceSite::prepare(const std::string& siteText, const std::string& extraConfig,
                          const std::string& priority, const std::vector<std::string>& simArgs) {
    config(extraConfig, priority);
    ASSERT_TRUE(startSim(siteText, simArgs));
}

void ServiceSite::start(const std::string& siteText, const std::string& extraConfig,
                        const std::string& priority, const std::vector<std::string>& simArgs) {
    prepare(siteText, extraConfig, priority, simArgs);
    startService();
    ASSERT_TRUE(waitReady());
}

bool ServiceSite::waitLog(const std::string& text, const std::string& category, int timeoutMs) {
    return waitUntil([&] { return logCount(text, category) > 0; }, timeoutMs);
}

bool ServiceSite::syncSim(int timeoutMs) {
    size_t mark = mSim->lineCount();
    mSim->write("states\n");
    return mSim->waitFor("STATES END", timeoutMs, mark) >= 0;
}

FakeDaemon& ServiceSite::startPlayed() {
    mDaemon.reset(new FakeDaemon(mAddress));
    startService();
    // A fatal failure ends the test (test_main.cpp), also from a lambda.
    [this] { ASSERT_TRUE(mDaemon->accept()) << "the service did not connect"; }();
    return *mDaemon;
}

FakeDaemon& ServiceSite::startPlayed(const std::vector<SiteOutput>& outputs) {
    FakeDaemon& daemon = startPlayed();
    for (size_t i = 0; i <= outputs.size(); ++i) {
        [&] { ASSERT_TRUE(answerNext(daemon, outputs)); }();
    }
    return daemon;
}

ServiceSite::CtlRun ServiceSite::ctl(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {DORVANE_CTL_BIN, "--config", file("dorvane.conf")};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, mDir.path());
    int status = p.wait(timeoutMs);
    return CtlRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, p.text()};
}

std::vector<std::string> ServiceSite::log(const std::string& category) {
    std::vector<std::string> out;
    std::string prefix = category + "|";
    for (const std::string& line : splitLines(readFile(mDir.file("service.log")))) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            out.push_back(line.substr(prefix.size()));
        }
    }
    return out;
}

size_t ServiceSite::logCount(const std::string& text, const std::string& category) {
    return countContaining(log(category), text);
}

std::vector<std::string> ServiceSite::sets(size_t from) {
    std::vector<std::string> out;
    std::vector<std::string> lines = mSim->lines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].compare(0, 4, "SET ") == 0) {
            out.push_back(lines[i]);
        }
    }
    return out;
}

bool ServiceSite::waitSets(size_t n, int timeoutMs) {
    return waitUntil([&] { return sets().size() >= n; }, timeoutMs);
}

std::string rawCommand(const VMsg& msg) {
    std::vector<uint8_t> bytes;
    vmsg::encode(msg, bytes);
    std::string cmd = "raw ";
    char hex[3];
    for (uint8_t b : bytes) {
        snprintf(hex, sizeof(hex), "%02X", b);
        cmd += hex;
    }
    return cmd + "\n";
}

std::unique_ptr<VMsg> accessEvent(const std::vector<std::string>& codes, uint8_t seq,
                                  uint32_t serial) {
    std::unique_ptr<VMsg> msg(new VMsg(vmsg::MSG_EVT, seq));
    for (const std::string& code : codes) {
        cObjectAccess access;
        access.setDeviceSerial(serial);
        access.setScanCode(code);  // every byte, NULs included
        ulxobj::appendObject(*msg, access);
    }
    return msg;
}

bool isPortListQuery(const VMsg& request) {
    std::unique_ptr<cObjectList> objects(ulxobj::fromMessage(request));
    bool list = request.mMsgID == vmsg::MSG_GET && objects->size() == 1 &&
                objects->at(0)->getType() == cObject::OBJ_PORT;
    objects->deleteObjects();
    return list;
}

std::unique_ptr<VMsg> siteReply(const VMsg& request, const std::vector<SiteOutput>& outputs) {
    std::unique_ptr<cObjectList> asked(ulxobj::fromMessage(request));
    cObjectList reply;
    auto add = [&reply](const SiteOutput& o) {
        cObjectDOutput* out = new cObjectDOutput();
        out->setDeviceSerial(o.serial);
        out->setPortId(o.port);
        out->setPortLabel(o.label);  // every byte, NULs included
        out->setOutputState(static_cast<cObject::eObjectIOState>(o.state));
        reply.add(out);
    };
    if (isPortListQuery(request)) {
        for (const SiteOutput& o : outputs) {
            add(o);
        }
    } else {
        for (size_t i = 0; i < asked->size(); ++i) {
            auto* port = dynamic_cast<cObjectDOutput*>(asked->at(i));
            for (const SiteOutput& o : outputs) {
                if (port != nullptr && port->getPortId() == o.port) {
                    add(request.mMsgID == vmsg::MSG_SET
                            ? SiteOutput{o.serial, o.port, o.label, port->getOutputState()}
                            : o);
                }
            }
        }
    }
    asked->deleteObjects();
    std::unique_ptr<VMsg> msg(ulxobj::toMessage(reply, request.mMsgID, request.mMsgSeq));
    reply.deleteObjects();
    return msg;
}

std::unique_ptr<VMsg> refusal(const VMsg& request) {
    std::unique_ptr<VMsg> err(new VMsg(vmsg::MSG_ERR, request.mMsgSeq));
    err->addTag(new VTagUInt8(ulxobj::TAG_ERR_MSGID, request.mMsgID));
    return err;
}

bool answerNext(FakeDaemon& daemon, const std::vector<SiteOutput>& outputs, int timeoutMs) {
    std::unique_ptr<VMsg> request = daemon.read(timeoutMs);
    if (request == nullptr) {
        ADD_FAILURE() << "no request came";
        return false;
    }
    daemon.send(*siteReply(*request, outputs));
    return true;
}

}  // namespace testutil
