#include "SCLpairs.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>

#include "cSCL.h"

namespace {

bool nameIs(const xmlNode* node, const char* name) {
    return node->name != nullptr && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

bool nonEmpty(const char* text) {
    return text != nullptr && text[0] != '\0';
}

// Calls setter with the value of every attribute of node named attrName, in
// order; the last one wins.
template <typename Setter>
void takeAttribute(xmlNode* node, const char* attrName, Setter setter) {
    for (xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
        if (!nameIs(reinterpret_cast<xmlNode*>(attr), attrName)) {
            continue;
        }
        xmlChar* value = xmlGetProp(node, BAD_CAST attrName);
        if (value != nullptr) {
            setter(reinterpret_cast<const char*>(value));
            xmlFree(value);
        }
    }
}

}  // namespace

cSCLpairs::cSCLpairs() : cVlog("SCLpairs") {}

cSCLpairs::~cSCLpairs() = default;

VList* cSCLpairs::getSCLpairsLst(const char* filename) {
    VList* list = new VList();
    debug("Try open %s \n", filename);
    // No network, no external entities or DTD loading; libxml2's default
    // limits on nesting depth and entity expansion stay in force.
    xmlDoc* doc =
        xmlReadFile(filename, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) {
        printf("Fail open\n");
        fflush(stdout);
    } else {
        debug("Opened file OK");
        xmlNode* root = xmlDocGetRootElement(doc);
        if (root != nullptr && nameIs(root, "scl_connections")) {
            debug("scl_connections xml");
            for (xmlNode* reader = root->children; reader != nullptr; reader = reader->next) {
                if (reader->type != XML_ELEMENT_NODE || !nameIs(reader, "Reader")) {
                    continue;
                }
                debug("Create Reader");
                cSCL* record = new cSCL();
                takeAttribute(reader, "name", [&](const char* v) { record->setReaderName(v); });
                for (xmlNode* child = reader->children; child != nullptr; child = child->next) {
                    if (child->type != XML_ELEMENT_NODE) {
                        continue;
                    }
                    if (nameIs(child, "IOlabel")) {
                        takeAttribute(child, "value",
                                      [&](const char* v) { record->setIOLabel(v); });
                    } else if (nameIs(child, "LEDlabel")) {
                        takeAttribute(child, "value",
                                      [&](const char* v) { record->setLEDLabel(v); });
                    }
                }
                if (nonEmpty(record->getReaderName()) && nonEmpty(record->getIOLabel()) &&
                    nonEmpty(record->getLEDLabel()) && list->add(record)) {
                    debug("adding to list RN:%s IO:%s LED:%s", record->getReaderName(),
                          record->getIOLabel(), record->getLEDLabel());
                } else {
                    delete record;
                }
            }
        }
        xmlFreeDoc(doc);
    }
    xmlCleanupParser();
    if (list->mNodeCount == 0) {
        delete list;
        return nullptr;
    }
    return list;
}
