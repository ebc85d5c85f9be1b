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

// The verbs of the tool, then help and version, in the order they are listed.
std::vector<const Verb*> allVerbs(const Tool& tool) {
    std::vector<const Verb*> all;
    for (size_t i = 0; i < tool.count; ++i) {
        all.push_back(&tool.verbs[i]);
    }
    all.push_back(&kHelp);
    all.push_back(&kVersion);
    return all;
}

const Verb* findVerb(const Tool& tool, const std::string& name) {
    for (const Verb* v : allVerbs(tool)) {
        if (name == v->name) {
            return v;
        }
    }
    return nullptr;
}

// True when some verb's name has word as its first of two words ("codes").
bool isGroup(const Tool& tool, const std::string& word) {
    for (size_t i = 0; i < tool.count; ++i) {
        if (strncmp(tool.verbs[i].name, (word + " ").c_str(), word.size() + 1) == 0) {
            return true;
        }
    }
    return false;
}

// The words of the command line that are neither a global option nor its
// value, by their place in argv.
std::vector<int> plainWords(const Tool& tool, int argc, char** argv) {
    std::vector<int> plain;
    for (int i = 1; i < argc; ++i) {
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

std::string lines(const std::vector<const Verb*>& list) {
    size_t width = 0;
    for (const Verb* v : list) {
        width = std::max(width, strlen(v->name));
    }
    std::string text;
    for (const Verb* v : list) {
        text += "  " + std::string(v->name) + std::string(width + 2 - strlen(v->name), ' ') +
                v->summary + "\n";
    }
    return text;
}

std::string usageHead(const Tool& tool, const std::string& rest) {
    std::string head = std::string("Usage: ") + tool.name;
    if (tool.globalSynopsis != nullptr && tool.globalSynopsis[0] != '\0') {
        head += std::string(" ") + tool.globalSynopsis;
    }
    return head + " " + rest + "\n";
}

void printUsage(const Tool& tool, const Verb& v) {
    std::string name = v.name;
    if (tool.defaultVerb != nullptr && name == tool.defaultVerb) {
        name = "[" + name + "]";
    }
    std::string head = usageHead(tool, name + (v.synopsis[0] != '\0' ? " " : "") + v.synopsis);
    printf("%s%s\n%s", head.c_str(), v.summary, v.details != nullptr ? v.details : "");
    if (v.usage != nullptr) {
        fflush(stdout);
        v.usage();
    }
}

// The verbs of a group ("codes add", "codes list", ...) as the list shows them.
std::string groupList(const Tool& tool, const std::string& group) {
    std::vector<const Verb*> members;
    for (size_t i = 0; i < tool.count; ++i) {
        if (strncmp(tool.verbs[i].name, (group + " ").c_str(), group.size() + 1) == 0) {
            members.push_back(&tool.verbs[i]);
        }
    }
    return usageHead(tool, group + " VERB [ARGUMENTS]") + "Verbs:\n" + lines(members);
}

// The second words of a group's verbs: "add, remove, list".
std::string groupWords(const Tool& tool, const std::string& group) {
    std::string words;
    for (size_t i = 0; i < tool.count; ++i) {
        const char* name = tool.verbs[i].name;
        if (strncmp(name, (group + " ").c_str(), group.size() + 1) == 0) {
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
    std::string what = "unknown verb '" + vutil::escape(name.c_str()) + "'";
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
    if (name.empty()) {
        printf("%s", verbList(tool).c_str());
        return 0;
    }
    if (const Verb* v = findVerb(tool, name)) {
        printUsage(tool, *v);
        return 0;
    }
    if (isGroup(tool, name)) {
        printf("%s", groupList(tool, name).c_str());
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
    fprintf(stderr, "%s: no verb given\n%s", tool.name, verbList(tool).c_str());
    return 2;
}

}  // namespace

std::string verbList(const Tool& tool) {
    std::string text = usageHead(tool, "VERB [ARGUMENTS]") + "Verbs:\n" + lines(allVerbs(tool));
    if (tool.defaultVerb != nullptr) {
        text += std::string("Without a verb: ") + tool.defaultVerb + ".\n";
    }
    text += tool.footer != nullptr ? tool.footer : "";
    return text + "See '" + tool.name + " help VERB' for a verb's usage.\n";
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
    // A verb of two words takes the next word that is no option as its second.
    std::vector<int> used = {plain[0]};
    std::string name = first;
    auto second =
        std::find_if(plain.begin() + 1, plain.end(), [&](int i) { return !isOption(argv[i]); });
    if (second != plain.end() && findVerb(tool, first + " " + argv[*second]) != nullptr) {
        name += std::string(" ") + argv[*second];
        used.push_back(*second);
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
            printf("%s", groupList(tool, first).c_str());
            return 0;
        }
        if (second == plain.end()) {
            return refuse(tool, first + " needs one of " + groupWords(tool, first));
        }
        return unknownVerb(tool, first + " " + argv[*second]);
    }
    return unknownVerb(tool, first);
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
    for (const Verb* v : allVerbs(tool)) {
        size_t d = editDistance(word, v->name);
        // A slip of the hand: one mistake in a short name, one in three in a longer one.
        size_t near = std::max<size_t>(1, strlen(v->name) / 3);
        if (d <= near && (best == nullptr || d < bestDistance)) {
            best = v->name;
            bestDistance = d;
        }
    }
    return best;
}

}  // namespace verbs
