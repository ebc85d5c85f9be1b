#include "src/arg_parser.h"

#include <getopt.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const int kShortSize = 10;
const int kLongSize = 10;

bool isEnd(const argParser::argument_option& o) {
    return o.short_option == 0 && o.long_option == nullptr;
}

// Copies optarg into the entry's buffer: whole for an entry without a size,
// whose caller sized the buffer; only when it fits for a bounded entry.
// False when a bounded entry refused it.
bool storeArgument(const argParser::argument_option& o, const char* arg) {
    if (o.argument == nullptr || arg == nullptr) {
        return true;
    }
    size_t length = strlen(arg);
    if (o.argument_size != 0 && length >= o.argument_size) {
        if (o.long_option != nullptr) {
            fprintf(stderr, "option --%s: argument not stored: ", o.long_option);
        } else {
            fprintf(stderr, "option -%c: argument not stored: ", o.short_option);
        }
        fprintf(stderr, "longer than %zu characters\n", o.argument_size - 1);
        return false;
    }
    memcpy(o.argument, arg, length + 1);
    return true;
}

void warnLeftOut(const argParser::argument_option& o, const char* why) {
    fprintf(stderr, "argParser: option %c%c%s%s left out: %s\n", o.short_option ? '-' : ' ',
            o.short_option ? o.short_option : ' ', o.long_option ? " --" : "",
            o.long_option ? o.long_option : "", why);
}

// Fills the getopt tables from options ("h" and "help" first): letters with
// their colons in shortOptions, names in longOptions at the entry's place
// plus one. Returns how many entries count (at most MAX_ENTRIES); what does
// not fit is left out with a warning.
int buildTables(const argParser::argument_option* options, char* shortOptions,
                option* longOptions) {
    int s = 0;
    shortOptions[s++] = 'h';
    longOptions[0] = {"help", no_argument, nullptr, 0};
    int entries = 0;
    for (int i = 0; options != nullptr && !isEnd(options[i]); ++i) {
        const argParser::argument_option& o = options[i];
        if (i >= argParser::MAX_ENTRIES) {
            warnLeftOut(o, "the table holds more than 8 entries");
            continue;
        }
        entries = i + 1;
        if (o.short_option != 0) {
            int need = 1 + (o.has_arg == 1 ? 1 : o.has_arg == 2 ? 2 : 0);
            if (s + need <= kShortSize - 1) {
                shortOptions[s++] = o.short_option;
                for (int c = 1; c < need; ++c) {
                    shortOptions[s++] = ':';
                }
            } else {
                warnLeftOut(o, "letters and colons take more than 8 characters");
            }
        }
        if (o.long_option != nullptr) {
            longOptions[i + 1] = {o.long_option, o.has_arg, o.flag, o.val};
        } else {
            // A name no command line can match (getopt_long cuts a typed name
            // at its first "="), which keeps the positions after it reachable.
            longOptions[i + 1] = {"=", no_argument, nullptr, INT_MAX};
        }
    }
    shortOptions[s] = '\0';
    longOptions[entries + 1] = {nullptr, 0, nullptr, 0};
    return entries;
}

// Takes the short option letter that getopt_long returned; returns how many
// refusals it makes (an unknown option, a missing or refused argument).
int takeShort(const argParser::argument_option* options, int entries, int letter) {
    int refused = 0;
    bool known = false;
    for (int i = 0; i < entries; ++i) {
        const argParser::argument_option& o = options[i];
        if (o.short_option != 0 && o.short_option == letter) {
            known = true;
            if (o.flag != nullptr) {
                *o.flag = o.val;
            }
            if (!storeArgument(o, optarg)) {
                ++refused;
            }
        }
    }
    // getopt_long has reported an unknown option or a missing argument.
    if (!known && (letter == '?' || letter == ':')) {
        ++refused;
    }
    return refused;
}

}  // namespace

bool argParser::getArguments(int argc, char** argv, const argument_option* options, int* refused) {
    char short_options[kShortSize];
    option long_options[kLongSize];
    int entries = buildTables(options, short_options, long_options);
    int unused = 0;
    if (refused == nullptr) {
        refused = &unused;
    }
    *refused = 0;
    int idx = 0;
    for (;;) {
        int result = getopt_long(argc, argv, short_options, long_options, &idx);
        if (result == -1) {
            return true;
        }
        if (result == 'h' || (result == 0 && idx == 0)) {
            showHelp(options);
            return false;
        }
        if (result != 0) {
            *refused += takeShort(options, entries, result);
        } else if (idx > 0 && idx <= entries && !storeArgument(options[idx - 1], optarg)) {
            ++*refused;
        }
    }
}

void argParser::showHelp(const argument_option* options) {
    printf("Usage:\n");
    for (int i = 0; options != nullptr && !isEnd(options[i]); ++i) {
        const argument_option& o = options[i];
        if (o.description == nullptr) {
            break;
        }
        if (o.short_option != 0 && o.long_option != nullptr) {
            printf("\t-%c ", o.short_option);
            printf("--%-10s ", o.long_option);
        } else if (o.short_option != 0) {
            printf("\t-%c ", o.short_option);
            printf("  %-10s ", "");
        } else {
            printf("\t--%-13s ", o.long_option);
        }
        printf("%s\n", o.description);
    }
}
