#include "tools/dorvanectl/site.h"

#include "src/cSCL.h"
#include "src/discovery.h"
#include "src/pAccess.h"
#include "src/properties.h"
#include "src/settings.h"
#include "ulxobj/cObjectClient.h"
#include "vdb/DatabaseHandler.h"
#include "vutil/VText.h"

namespace ctl {

Settings readSettings(const char* path) {
    Settings s;
    cProperties props;
    if (!props.load(path)) {
        s.problems.push_back(std::string("configuration file ") + path +
                             " cannot be read: every setting takes its default");
    }
    struct Field {
        const settings::Key& key;
        std::string* value;
    } fields[] = {{settings::kHost, &s.host},
                  {settings::kIoPairFile, &s.ioPairFile},
                  {settings::kDblocal, &s.dblocal}};
    for (const Field& f : fields) {
        char buffer[settings::kDblocalSize];
        static_assert(
            settings::kHostSize <= sizeof(buffer) && settings::kIoPairFileSize <= sizeof(buffer),
            "every setting fits the buffer");
        std::string refusal;
        if (!settings::copy(props, f.key, buffer, &refusal)) {
            s.problems.push_back("setting " + refusal);
        }
        *f.value = buffer;
    }
    return s;
}

std::string shown(const std::string& value) {
    return vutil::escape(value.data(), value.size());
}

Pairs::Pairs(const std::string& path, cSCLpairsReport* report) {
    cSCLpairs loader;
    mList = loader.getSCLpairsLst(path.c_str(), report);
    for (const VListNode* n = mList != nullptr ? mList->mStart : nullptr; n != nullptr;
         n = n->mNext) {
        const auto* r = static_cast<const cSCL*>(n->mData);
        mRecords.push_back({r->getReaderName(), r->getIOLabel(), r->getLEDLabel()});
    }
    mIndex = cSCLpairIndex(mList);
}

Pairs::~Pairs() {
    mIndex = cSCLpairIndex();  // never left pointing into a deleted list
    deletePairs(mList);
}

std::optional<Record> Pairs::winner(const std::string& reader) const {
    const cSCL* r = mIndex.find(reader.c_str());
    if (r == nullptr) {
        return std::nullopt;
    }
    return Record{r->getReaderName(), r->getIOLabel(), r->getLEDLabel()};
}

bool readCodes(const std::string& path, std::vector<Code>* rows, std::string* why) {
    return listCodes(
        path, [rows](const Code& c) { rows->push_back(c); }, why);
}

bool listCodes(const std::string& path, const std::function<void(const Code&)>& each,
               std::string* why) {
    DatabaseHandler db(SQLITE3, path.c_str(), false, true);
    pAccess record;
    TableData* schema = record.toSchemaCheck();
    int n = db.List(
        &record,
        [&](const std::vector<DatabaseHandler::StoredValue>& values) {
            Code row;
            row.stored = values;
            size_t i = 0;
            for (const ColumnNameList* c = schema->headColNames; c != nullptr && i < values.size();
                 c = c->next, ++i) {
                const DatabaseHandler::StoredValue& v = values[i];
                (c->isPrimaryKey ? row.code : row.reader) = v.bytes;
                const char* refused = pAccess::refusal(c->name, v.type, v.bytes);
                if (refused != nullptr && row.refused.empty()) {
                    row.refused =
                        (c->isPrimaryKey ? "the code " : "the reader name ") + std::string(refused);
                }
            }
            each(row);
        },
        why);
    TableData::freeObj(schema);
    return n >= 0;
}

cObjectList* queryPorts(cObjectClient& client, const std::string& host) {
    if (!client.start(host.c_str(), settings::kDaemonPort)) {
        return nullptr;
    }
    cObjectPort query;
    query.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectList tx;
    tx.add(&query);
    return client.get(&tx);
}

bool discoverOutputs(cObjectClient& client, const std::string& host, std::vector<Output>* outputs) {
    if (!client.start(host.c_str(), settings::kDaemonPort)) {
        return false;
    }
    // The service's own discovery, without its waits and its lines.
    cDiscovery discovery(
        &client, [] {}, std::chrono::milliseconds(0), false);
    std::vector<cObjectDOutput*> found;
    discovery.run(&found);
    for (cObjectDOutput* out : found) {
        outputs->push_back(
            {out->getDeviceSerial(), out->getPortId(), out->getPortLabel(), out->getOutputState()});
        delete out;
    }
    return discovery.listKnown();
}

}  // namespace ctl
