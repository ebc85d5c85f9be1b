// verbs: the command line of a tool in the manner of git and systemctl. A
// table of verbs (one or two words: "check", "codes add") decides which
// handler runs; help, --help, help VERB, VERB --help, version and --version
// are answered here, the same way for every tool; a mistyped verb is met
// with the nearest one. Each verb's handler reads its own options. The
// words after "--" go to the verb untouched and unread here.
//
// Exit statuses: 0 for help and version; 2 for a command line that names no
// verb where one is needed, an unknown verb, or help/version with words they
// do not take (one line on standard error, and the verbs when none was
// given); otherwise the handler's own. Nothing throws. Not thread-safe only
// in that it prints; tables are read, never changed.
#ifndef DORVANE_SRC_VERB_TABLE_H
#define DORVANE_SRC_VERB_TABLE_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace verbs {

// Runs a verb. argv[0] is the verb's name ("codes add"), then every other
// word of the command line in its order: the verb's own words taken out,
// the tool's global options (and everything else) left in. argv[argc] is
// null; the strings are the process's own. Returns the exit status.
using Handler = int (*)(int argc, char** argv);

struct Verb {
    const char* name;      // one or two words
    const char* synopsis;  // what follows the name in its usage line ("" for nothing)
    const char* summary;   // one line, for the list of verbs
    const char* details;   // more lines of its usage, each ending in a newline; or null
    Handler run;
    void (*usage)();  // prints what details cannot hold (an option table); or null
};

struct Tool {
    const char* name;     // as the user types it: "dorvanectl"
    const char* version;  // the project's version
    const Verb* verbs;
    size_t count;
    // Options that take the next word as their value and may stand before
    // the verb ("--config", "-C"; a long one also as --config=FILE); null
    // ends the list. Null for none.
    const char* const* globalOptions;
    const char* globalSynopsis;  // shown between the tool and the verb: "[--config FILE]"
    // The verb of a command line that names none (its first word, after the
    // global options, is an option or there is none). Null: such a command
    // line goes to oldOptions when it has an option, else the verbs are
    // listed on standard error with status 2.
    const char* defaultVerb;
    // Runs a command line of the options of old (its first word after the
    // global options is an option other than --help and --version) with the
    // process's own argc and argv. Null: the default verb runs it, or it is
    // refused.
    int (*oldOptions)(int argc, char** argv);
    const char* footer;  // lines printed after the list of verbs; or null
};

// Decides the command line and runs it; the exit status.
int dispatch(const Tool& tool, int argc, char** argv);

// Prints the list of verbs as "TOOL help" does to out: a usage line,
// "Verbs:", one line per verb (two spaces, the verb, at least two spaces,
// its summary), help and version last, then the footer.
void printVerbs(const Tool& tool, FILE* out);

// A word of the command line as a refusal shows it, within its one line:
// bytes that are not printable escaped (\xHH), cut after 79 characters with
// "..." (a pasted file is not echoed whole).
std::string shownWord(const std::string& word);

// The edit distance between a and b: insertions, deletions, substitutions
// and swaps of two neighbours, each counting one.
size_t editDistance(const std::string& a, const std::string& b);

// The verb nearest to word ("help" and "version" included) when it is near
// enough to be a slip of the hand; null otherwise.
const char* nearestVerb(const Tool& tool, const std::string& word);

}  // namespace verbs

#endif
