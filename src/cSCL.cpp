#include "src/cSCL.h"

#include <cstring>

namespace {

void replaceText(char*& field, const char* text) {
    delete[] field;
    field = nullptr;
    if (text != nullptr) {
        size_t n = strlen(text);
        field = new char[n + 1];
        memcpy(field, text, n + 1);
    }
}

}  // namespace

cSCL::cSCL() : mReaderName(nullptr), mioLabel(nullptr), mLEDLabel(nullptr) {}

cSCL::~cSCL() {
    delete[] mReaderName;
    delete[] mioLabel;
    delete[] mLEDLabel;
}

void cSCL::setReaderName(const char* name) {
    replaceText(mReaderName, name);
}
void cSCL::setIOLabel(const char* label) {
    replaceText(mioLabel, label);
}
void cSCL::setLEDLabel(const char* label) {
    replaceText(mLEDLabel, label);
}
