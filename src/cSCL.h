// cSCL: one reader pairing record: the reader's name, its IO label and its
// LED label. The record owns heap copies of its three texts and frees them
// when destroyed. Not thread-safe: one thread at a time uses a record (the
// service builds records at start-up and only reads them afterwards). The
// copies are made with new: out of memory throws std::bad_alloc, which the
// service does not catch.
#ifndef DORVANE_SRC_CSCL_H
#define DORVANE_SRC_CSCL_H

class cSCL {
public:
    cSCL();  // all three fields null
    virtual ~cSCL();

    cSCL(const cSCL&) = delete;
    cSCL& operator=(const cSCL&) = delete;

    // Each releases the field's previous copy and stores a new copy of the
    // given NUL-terminated text. A null argument leaves the field null.
    void setReaderName(const char* name);
    void setIOLabel(const char* label);
    void setLEDLabel(const char* label);

    // The stored text, owned by the record, or null for a field never set
    // (or set to null); valid until the field is set again or the record is
    // destroyed. Callers must not free it.
    char* getReaderName() const { return mReaderName; }
    char* getIOLabel() const { return mioLabel; }
    char* getLEDLabel() const { return mLEDLabel; }

private:
    char* mReaderName;
    char* mioLabel;
    char* mLEDLabel;
};

#endif
