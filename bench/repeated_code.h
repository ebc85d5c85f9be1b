// The benchmark row of a code stored many times for one reader: the
// service's own lookup (DatabaseHandler::Find with a pAccess query) against
// SQLite stepping through the same rows, and the memory the lookup takes.
#ifndef DORVANE_BENCH_REPEATED_CODE_H
#define DORVANE_BENCH_REPEATED_CODE_H

#include <ostream>
#include <string>

struct RepeatedCodeResult {
    int rows;
    double lookupMs;  // median of the lookups
    double sqliteMs;  // median of a bare step through the same rows
    long peakGrowKb;  // growth of this process's peak RSS over the lookups
};

// Builds dir/repeated.db with rows rows of one code and measures runs
// lookups of it. Prints one line; writes nothing else under dir.
RepeatedCodeResult measureRepeatedCode(const std::string& dir, int rows, int runs);

// The result as the JSON object member "repeated_code" (with a leading comma,
// to follow the members written before it).
void writeRepeatedCode(const RepeatedCodeResult& r, std::ostream& json);

#endif
