// Fuzz target: an access record filled from fuzzed table rows. Column names,
// types and values come from the input, values without a terminator
// included; the record's fields must stay terminated within 128 bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "src/pAccess.h"
#include "vdb/TableData.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // Fills n bytes (zero once the input runs out).
    void fill(void* out, size_t n) {
        auto* o = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) {
            o[i] = byte();
        }
    }
};

class Probe : public pAccess {
public:
    Probe(const TableData* t, int row) : pAccess(t, row) {}
    bool terminated() const {
        return memchr(mScanCode, 0, sizeof(mScanCode)) != nullptr &&
               memchr(mReadlerLabel, 0, sizeof(mReadlerLabel)) != nullptr;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* devnull = freopen("/dev/null", "w", stdout);
    (void)devnull;
    Reader in{data, size};
    TableData* table = new TableData();
    int columns = in.byte() % 6;
    for (int c = 0; c < columns; ++c) {
        uint8_t kind = in.byte();
        ColumnNameList* col = table->addColumn("", static_cast<sqlType>(in.byte() % 7), false);
        if (kind % 4 == 0) {
            memcpy(col->name, "sc", 3);
        } else if (kind % 4 == 1) {
            memcpy(col->name, "reader", 7);
        } else {
            in.fill(col->name, sizeof(col->name));  // maybe without a NUL
        }
    }
    int rows = in.byte() % 4;
    for (int r = 0; r < rows; ++r) {
        RowList* row = table->addRow();
        int values = in.byte() % 6;
        for (int v = 0; v < values; ++v) {
            ColumnDataList* value = TableData::addValue(row);
            size_t n = in.byte() % 3 == 0 ? sizeof(value->value.valT) : in.byte();
            in.fill(value->value.valT, n);
        }
    }
    int rowNum = in.byte();  // read as a signed byte: -128 to 127
    if (rowNum > 127) {
        rowNum -= 256;
    }
    Probe record(table, rowNum);
    if (!record.terminated()) {
        abort();
    }
    table->free();
    return 0;
}
