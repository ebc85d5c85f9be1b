#include "src/verb_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "vutil/VText.h"

namespace verbs {
namespace {

const Verb kHelp = {"help",  "[VERB]", "these verbs, or one verb's usage",
                    nullptr, nullptr,  nullptr};
const Verb kVersion = {"version", "", "print the version", nullptr, nullptr, nullptr};

bool isHelpWord(const char* w) {
    return strcmp(w, "help") == 0 || strcmp(w, "--help") == 0 || strcmp(w, "-h") == 0;
}

bool isOption(const char* w) {
    return w[0] == '-' && w[1] != '\0';
}

// The tool's verbs, then help and version: the order they are listed in.
const Verb* verbAt(const Tool& tool, size_t i) {
    return i < tool.count ? &tool.verbs[i] : i == tool.count ? &kHelp : &kVersion;
}

const Verb* findVerb(const Tool& tool, const std::string& name) {
    for (size_t i = 0; i < tool.count + 2; ++i) {
        if (name == verbAt(tool, i)->name) {
            return verbAt(tool, i);
        }
    }
    return nullptr;
}

// True when name is a verb of group, its first of two words ("codes add").
bool inGroup(const char* name, const std::string& group) {
    return strncmp(name, group.c_str(), group.size()) == 0 && name[group.size()] == ' ';
}

// True when some verb's name has word as its first of two words ("codes").
bool isGroup(const Tool& tool, const std::string& word) {
    for (size_t i = 0; i < tool.count; ++i) {
        if (inGroup(tool.verbs[i].name, word)) {
            return true;
        }
    }
    return false;
}

// The words of the command line that are neither a global option nor its
// value, by their place in argv, up to "--": the words after it are the
// verb's own (a code that begins with a dash), never a verb's name, help or
// a global option.
std::vector<int> plainWords(const Tool& tool, int argc, char** argv) {
    std::vector<int> plain;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            plain.push_back(i);
            break;
        }
        bool global = false, takesNext = false;
        for (const char* const* g = tool.globalOptions; g != nullptr && *g != nullptr; ++g) {
            size_t n = strlen(*g);
            if (strcmp(argv[i], *g) == 0) {
                global = takesNext = true;
            } else if (n > 2 && (*g)[1] == '-' && strncmp(argv[i], *g, n) == 0 &&
                       argv[i][n] == '=') {
                global = true;
            }
        }
        if (!global) {
            plain.push_back(i);
        } else if (takesNext) {
            ++i;
        }
    }
    return plain;
}

// One line per verb (of group, or every one when group is null): two
// spaces, the name, at least two spaces, the summary.
void printLines(FILE* out, const Tool& tool, const std::string* group) {
    size_t count = group != nullptr ? tool.count : tool.count + 2;
    int width = 0;
    for (size_t i = 0; i < count; ++i) {
        if (group == nullptr || inGroup(verbAt(tool, i)->name, *group)) {
            width = std::max(width, static_cast<int>(strlen(verbAt(tool, i)->name)));
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const Verb* v = verbAt(tool, i);
        if (group == nullptr || inGroup(v->name, *group)) {
            fprintf(out, "  %-*s  %s\n", width, v->name, v->summary);
        }
    }
}

// "Usage: TOOL [GLOBAL] " and then the rest, up to the end of the line.
void printHead(FILE* out, const Tool& tool) {
    bool global = tool.globalSynopsis != nullptr && tool.globalSynopsis[0] != '\0';
    fprintf(out, "Usage: %s %s%s", tool.name, global ? tool.globalSynopsis : "", global ? " " : "");
}

void printUsage(const Tool& tool, const Verb& v) {
    bool isDefault = tool.defaultVerb != nullptr && strcmp(v.name, tool.defaultVerb) == 0;
    printHead(stdout, tool);
    printf(isDefault ? "[%s]%s%s\n%s\n%s" : "%s%s%s\n%s\n%s", v.name,
           v.synopsis[0] != '\0' ? " " : "", v.synopsis, v.summary,
           v.details != nullptr ? v.details : "");
    if (v.usage != nullptr) {
        fflush(stdout);
        v.usage();
    }
}

// The verbs of a group ("codes add", "codes list", ...) as the list shows them.
void printGroup(const Tool& tool, const std::string& group) {
    printHead(stdout, tool);
    printf("%s VERB [ARGUMENTS]\nVerbs:\n", group.c_str());
    printLines(stdout, tool, &group);
}

// The second words of a group's verbs: "add, remove, list".
std::string groupWords(const Tool& tool, const std::string& group) {
    std::string words;
    for (size_t i = 0; i < tool.count; ++i) {
        const char* name = tool.verbs[i].name;
        if (inGroup(name, group)) {
            words += (words.empty() ? "" : ", ") + std::string(name + group.size() + 1);
        }
    }
    return words;
}

int refuse(const Tool& tool, const std::string& what) {
    fprintf(stderr, "%s: %s (see %s help)\n", tool.name, what.c_str(), tool.name);
    return 2;
}

int unknownVerb(const Tool& tool, const std::string& name) {
    std::string what = "unknown verb '" + shownWord(name) + "'";
    const char* near = nearestVerb(tool, name);
    if (near != nullptr) {
        what += "; did you mean '" + std::string(near) + "'?";
    }
    return refuse(tool, what);
}

// help [VERB]: the words after the help word, at plain[k + 1] on.
int help(const Tool& tool, char** argv, const std::vector<int>& plain, size_t k) {
    std::string name;
    for (size_t i = k + 1; i < plain.size(); ++i) {
        if (isOption(argv[plain[i]])) {
            return refuse(tool, std::string(argv[plain[k]]) +
                                    " takes no other option or argument but a verb");
        }
        name += (name.empty() ? "" : " ") + std::string(argv[plain[i]]);
    }
    if (k + 1 == plain.size()) {  // no word at all: an empty one names no verb
        printVerbs(tool, stdout);
        return 0;
    }
    if (const Verb* v = findVerb(tool, name)) {
        printUsage(tool, *v);
        return 0;
    }
    if (isGroup(tool, name)) {
        printGroup(tool, name);
        return 0;
    }
    return unknownVerb(tool, name);
}

// Runs v with the command line's words but those at the places in used.
int runVerb(const Verb& v, int argc, char** argv, const std::vector<int>& used) {
    std::string name = v.name;
    std::vector<char*> args = {&name[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::find(used.begin(), used.end(), i) == used.end()) {
            args.push_back(argv[i]);
        }
    }
    args.push_back(nullptr);
    return v.run(static_cast<int>(args.size() - 1), args.data());
}

// The place in argv of the second word of a verb of two words whose first
// is at plain[0]: the next word that is no option, or a later one when those
// before it each stand after an option (its value: "codes --site hq pack");
// the next word that is no option when none makes a verb; 0 for none.
int secondWord(const Tool& tool, char** argv, const std::vector<int>& plain) {
    int next = 0;
    for (size_t k = 1; k < plain.size(); ++k) {
        int i = plain[k];
        if (isOption(argv[i])) {
            continue;
        }
        next = next == 0 ? i : next;
        if (findVerb(tool, std::string(argv[plain[0]]) + " " + argv[i]) != nullptr) {
            return i;
        }
        if (!isOption(argv[i - 1])) {
            break;
        }
    }
    return next;
}

// The command line names no verb: its first plain word, if any, is an option.
int noVerb(const Tool& tool, int argc, char** argv, bool hasOption) {
    if (hasOption && tool.oldOptions != nullptr) {
        return tool.oldOptions(argc, argv);
    }
    if (tool.defaultVerb != nullptr) {
        return runVerb(*findVerb(tool, tool.defaultVerb), argc, argv, {});
    }
    if (hasOption) {
        return refuse(tool, "a verb comes first");
    }
    fprintf(stderr, "%s: no verb given\n", tool.name);
    printVerbs(tool, stderr);
    return 2;
}

}  // namespace

void printVerbs(const Tool& tool, FILE* out) {
    printHead(out, tool);
    fprintf(out, "VERB [ARGUMENTS]\nVerbs:\n");
    printLines(out, tool, nullptr);
    if (tool.defaultVerb != nullptr) {
        fprintf(out, "Without a verb: %s.\n", tool.defaultVerb);
    }
    fprintf(out, "%sSee '%s help VERB' for a verb's usage.\n",
            tool.footer != nullptr ? tool.footer : "", tool.name);
}

int dispatch(const Tool& tool, int argc, char** argv) {
    std::vector<int> plain = plainWords(tool, argc, argv);
    if (plain.empty() || isOption(argv[plain[0]])) {
        const char* first = plain.empty() ? "" : argv[plain[0]];
        if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0) {
            return help(tool, argv, plain, 0);
        }
        if (strcmp(first, "--version") != 0) {
            return noVerb(tool, argc, argv, !plain.empty());
        }
    }
    std::string first = argv[plain[0]];
    if (isHelpWord(first.c_str())) {
        return help(tool, argv, plain, 0);
    }
    if (first == "version" || first == "--version") {
        if (plain.size() > 1) {
            return refuse(tool, first + " takes no other option or argument");
        }
        printf("%s %s\n", tool.name, tool.version);
        return 0;
    }
    if (first.find(' ') != std::string::npos) {
        // "codes add" in one word is no verb; "did you mean 'codes add'"
        // would read as the very word given.
        return findVerb(tool, first) != nullptr
                   ? refuse(tool, "'" + first + "' in one word is no verb: give it as two words")
                   : unknownVerb(tool, first);
    }
    std::vector<int> used = {plain[0]};
    std::string name = first;
    int second = secondWord(tool, argv, plain);
    if (second != 0 && findVerb(tool, first + " " + argv[second]) != nullptr) {
        name += std::string(" ") + argv[second];
        used.push_back(second);
    }
    bool askedHelp = std::any_of(plain.begin(), plain.end(), [&](int i) {
        return std::find(used.begin(), used.end(), i) == used.end() && isOption(argv[i]) &&
               isHelpWord(argv[i]);
    });
    const Verb* v = findVerb(tool, name);
    if (v != nullptr && askedHelp) {
        printUsage(tool, *v);
        return 0;
    }
    if (v != nullptr) {
        return runVerb(*v, argc, argv, used);
    }
    if (isGroup(tool, first)) {
        if (askedHelp) {
            printGroup(tool, first);
            return 0;
        }
        if (second == 0) {
            return refuse(tool, first + " needs one of " + groupWords(tool, first));
        }
        return unknownVerb(tool, first + " " + argv[second]);
    }
    return unknownVerb(tool, first);
}

std::string shownWord(const std::string& word) {
    char shown[80];
    vutil::escapeInto(word.c_str(), shown, sizeof(shown));
    return shown + std::string(strlen(shown) < vutil::escape(word.c_str()).size() ? "..." : "");
}

size_t editDistance(const std::string& a, const std::string& b) {
    // Optimal string alignment: rows of the previous two lines suffice.
    std::vector<size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        last[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

const char* nearestVerb(const Tool& tool, const std::string& word) {
    const char* best = nullptr;
    size_t bestDistance = 0;
    for (size_t i = 0; i < tool.count + 2; ++i) {
        const Verb* v = verbAt(tool, i);
        // A slip of the hand: one mistake in a short name, one in three in a longer one.
        size_t near = std::max<size_t>(1, strlen(v->name) / 3);
        if (word.size() > strlen(v->name) + near) {
            continue;  // too far by its length alone: a long word costs no work
        }
        size_t d = editDistance(word, v->name);
        if (d <= near && (best == nullptr || d < bestDistance)) {
            best = v->name;
            bestDistance = d;
        }
    }
    return best;
}

}  // namespace verbs
