// argParser: parses a command line with getopt_long from a table of option
// descriptors, and prints a usage text built from the same table.
//
// The table ends with an entry whose short_option is 0 and long_option is
// null. "-h" and "--help" are built in: they print the usage text and make
// getArguments return false. getopt_long keeps process-wide state, so call
// getArguments once per process, from one thread. The table stays the
// caller's and is only read; what the options yield goes through its flag
// and argument pointers, which must be valid during the call. Nothing
// throws; every failure is a line on standard error and a return value.
#ifndef DORVANE_SRC_ARG_PARSER_H
#define DORVANE_SRC_ARG_PARSER_H

#include <cstddef>

class argParser {
public:
    enum { MAX_ENTRIES = 8, MAX_SHORT_CHARS = 8 };

    struct argument_option {
        char short_option;        // the letter; 0 for none
        const char* long_option;  // the long name without dashes; null for none
        const char* description;  // one line of help; null ends the usage listing
        int has_arg;              // 0 none, 1 required, 2 optional
        int* flag;                // receives val each time the option is met
        int val;                  // stored through flag; or reported by getopt_long
        char* argument;           // receives a copy of the option's argument
        // Size > 0: bounded copy; an argument that does not fit is not stored (a line on stderr).
        // Size 0 (seven-field tables): copied whole; the caller made the buffer large enough.
        size_t argument_size;
    };

    // Parses argv. Returns false when help was requested (the usage text has
    // been printed), true when the options ran out. Unknown options and
    // missing arguments are reported by getopt_long on standard error and
    // change nothing. A table beyond the limits (more than MAX_ENTRIES
    // entries, more than MAX_SHORT_CHARS letters and colons) is cut: what
    // does not fit is left out, with a line on standard error.
    // When refused is not null it receives the number of options that could
    // not be used (unknown, missing their argument, argument not stored), so
    // that a tool can refuse such a command line; the result is unchanged.
    // Arguments that are not options start at optind when it returns true:
    // GNU getopt_long permutes argv (the pointers, not the strings) so that
    // they come after the options. A null table counts as an empty one.
    static bool getArguments(int argc, char** argv, const argument_option* options,
                             int* refused = nullptr);

    // Prints "Usage:" and one line per entry on standard output, up to the
    // end entry or the first entry without a description; null prints only
    // "Usage:".
    static void showHelp(const argument_option* options);
};

#endif
