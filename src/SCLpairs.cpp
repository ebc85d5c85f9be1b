#include "src/SCLpairs.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstdio>

#include "src/cSCL.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace {

// No network, no external entities or DTD loading; libxml2's default limits
// on nesting depth and entity expansion stay in force.
const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

bool nameIs(const xmlNode* node, const char* name) {
    return node->name != nullptr && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// A pairing file needs no entities of its own. libxml2 bounds their
// expansion while it parses, but not in the tree it gives: each attribute
// that names one is expanded again when read: a file of 2.3 MB made 100 GB
// of text and held start-up for a minute.
bool declaresEntities(const xmlDoc* doc) {
    const xmlDtd* dtd = doc->intSubset;
    return dtd != nullptr && (dtd->entities != nullptr || dtd->pentities != nullptr);
}

bool nonEmpty(const char* text) {
    return text != nullptr && text[0] != '\0';
}

// Calls setter with the value of the attribute of node named attrName that
// has no namespace, if any (well-formed XML holds at most one). The value is
// the attribute's own: xmlGetProp would give the first attribute of that
// name in any namespace, so a:name could stand for name.
template <typename Setter>
void takeAttribute(xmlNode* node, const char* attrName, Setter setter) {
    for (xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns != nullptr || !nameIs(reinterpret_cast<xmlNode*>(attr), attrName)) {
            continue;
        }
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNode*>(attr));
        if (value != nullptr) {
            setter(reinterpret_cast<const char*>(value));
            xmlFree(value);
        }
    }
}

// A new record from a "Reader" element: its name and the last IOlabel and
// LEDlabel values of its child elements.
cSCL* readRecord(xmlNode* reader) {
    cSCL* record = new cSCL();
    takeAttribute(reader, "name", [&](const char* v) { record->setReaderName(v); });
    for (xmlNode* child = reader->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (nameIs(child, "IOlabel")) {
            takeAttribute(child, "value", [&](const char* v) { record->setIOLabel(v); });
        } else if (nameIs(child, "LEDlabel")) {
            takeAttribute(child, "value", [&](const char* v) { record->setLEDLabel(v); });
        }
    }
    return record;
}

// Why record cannot be used ("empty or missing IO label, LED label"), or ""
// when all three texts are there.
std::string unusable(const cSCL& record) {
    std::string missing;
    auto add = [&missing](const char* what) {
        missing += missing.empty() ? "empty or missing " : ", ";
        missing += what;
    };
    if (!nonEmpty(record.getReaderName())) {
        add("name");
    }
    if (!nonEmpty(record.getIOLabel())) {
        add("IO label");
    }
    if (!nonEmpty(record.getLEDLabel())) {
        add("LED label");
    }
    return missing;
}

// Reads the root's "Reader" children into list, up to its capacity, and
// returns how many records were usable (also past the capacity).
unsigned readRecords(cVlog& log, xmlNode* root, VList* list, cSCLpairsReport* report) {
    unsigned index = 0, accepted = 0;
    for (xmlNode* reader = root->children; reader != nullptr; reader = reader->next) {
        if (reader->type != XML_ELEMENT_NODE || !nameIs(reader, "Reader")) {
            continue;
        }
        ++index;
        log.debug("Create Reader");
        cSCL* record = readRecord(reader);
        std::string why = unusable(*record);
        if (!why.empty()) {
            if (report != nullptr) {
                const char* n = record->getReaderName();
                report->refused.push_back({index, n != nullptr ? n : "", why});
            }
            delete record;
            continue;
        }
        // Past the list's capacity the records are only counted: the caller
        // refuses the whole file, since a later record must win.
        if (++accepted > VList::MAX_NODES) {
            delete record;
            continue;
        }
        if (log.isEnabled(cVlog::DEBUG)) {  // three escaped copies per record otherwise
            log.debug("adding to list RN:%s IO:%s LED:%s",
                      vutil::escape(record->getReaderName()).c_str(),
                      vutil::escape(record->getIOLabel()).c_str(),
                      vutil::escape(record->getLEDLabel()).c_str());
        }
        list->add(record);
    }
    return accepted;
}

// The file yields no record: one ERROR line naming it and why.
void refused(cVlog& log, const std::string& shown, const std::string& why,
             cSCLpairsReport* report) {
    log.error("Pairing file %s refused: %s; no pairing records", shown.c_str(), why.c_str());
    if (report != nullptr) {
        report->refusedWhole = true;
        report->whyWhole = why;
    }
}

// The file cannot be read or parsed: "Fail open" on standard output as well.
VList* failOpen(cVlog& log, const std::string& shown, const std::string& why,
                cSCLpairsReport* report) {
    printf("Fail open\n");
    fflush(stdout);
    refused(log, shown, why, report);
    xmlCleanupParser();
    return nullptr;
}

}  // namespace

cSCLpairs::cSCLpairs() : cVlog("SCLpairs") {}

cSCLpairs::~cSCLpairs() = default;

VList* cSCLpairs::getSCLpairsLst(const char* filename, cSCLpairsReport* report) {
    const std::string shown = vutil::escape(filename);
    debug("Try open %s \n", shown.c_str());
    std::string text, why;
    if (!vutil::readBounded(filename, vutil::kMaxTextFile, &text, &why)) {
        return failOpen(*this, shown, "cannot be read: " + why, report);
    }
    return parse(text.data(), text.size(), filename, report);
}

VList* cSCLpairs::parse(const char* text, size_t len, const char* name, cSCLpairsReport* report) {
    const std::string shown = vutil::escape(name);
    xmlDoc* doc = len <= INT_MAX
                      ? xmlReadMemory(text, static_cast<int>(len), name, nullptr, kParseOptions)
                      : nullptr;
    if (doc == nullptr) {
        return failOpen(*this, shown, "not well-formed XML", report);
    }
    if (declaresEntities(doc)) {
        xmlFreeDoc(doc);
        return failOpen(*this, shown, "it declares entities", report);
    }
    debug("Opened file OK");
    VList* list = new VList();
    unsigned accepted = 0;
    xmlNode* root = xmlDocGetRootElement(doc);
    if (root == nullptr || !nameIs(root, "scl_connections")) {
        // Refused silently in the log, as ever; the report says why.
        if (report != nullptr) {
            report->refusedWhole = true;
            report->whyWhole = "the root element is not scl_connections";
        }
    } else {
        debug("scl_connections xml");
        accepted = readRecords(*this, root, list, report);
    }
    xmlFreeDoc(doc);
    xmlCleanupParser();
    if (report != nullptr) {
        report->records = accepted;
    }
    if (accepted > VList::MAX_NODES) {
        std::string why = std::to_string(accepted) + " records, more than the " +
                          std::to_string(VList::MAX_NODES) + " the list holds";
        refused(*this, shown, why, report);
        printf("Pairing file %s refused: %s; no pairing records\n", shown.c_str(), why.c_str());
        fflush(stdout);
        deletePairs(list);
        return nullptr;
    }
    if (list->mNodeCount == 0) {
        delete list;
        return nullptr;
    }
    return list;
}

void deletePairs(VList* list) {
    if (list == nullptr) {
        return;
    }
    for (VListNode* node = list->mStart; node != nullptr; node = node->mNext) {
        delete static_cast<cSCL*>(node->mData);
    }
    delete list;
}
