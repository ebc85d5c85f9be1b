#include "vdb/TabuloObj.h"

TabuloObj::TabuloObj() = default;
TabuloObj::TabuloObj(const TabuloObj&) = default;
TabuloObj::TabuloObj(const TableData*, int) {}
TabuloObj::~TabuloObj() = default;
