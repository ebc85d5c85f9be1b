// dorvanectl's verbs as help prints them, each with its shape (the words and
// options it takes), which verbCommand checks before it runs it (main.cpp).
#include "dorvane_version.h"
#include "src/settings.h"
#include "tools/dorvanectl/command_line.h"

namespace ctl {
namespace {

#define CSV_FORMAT                                                                           \
    "CSV: UTF-8, one code,reader a line (LF or CRLF), an optional first line code,reader,\n" \
    "no quoting. A code or reader is text of 1 to 127 bytes without control characters.\n"

const verbs::Verb kVerbs[] = {
    {"check", "", "what does not fit: settings, pairing file, database, site",
     "Reads the configuration, the pairing file and the database as the service does and\n"
     "asks the site daemon for its ports; prints each PROBLEM and a last OK or FAILED line.\n"
     "Exit status: 0 nothing wrong, 1 a problem found (or no pairing record),\n"
     "2 command line not understood.\n",
     shaped<0, 0>, nullptr},
    {"lookup", "CODE", "what a scan of CODE would do, and its trail line",
     "Says which reader CODE is stored for, which outputs a scan would toggle and their\n"
     "states now, and last the access trail line the service would write.\n"
     "Exit status: 0 a scan would toggle an output, 1 it would not, 2 command line not\n"
     "understood.\n",
     shaped<1, 1>, nullptr},
    {"ports", "", "the site daemon's ports, with the message dump printer",
     "Exit status: 0 printed, 1 the site daemon did not answer, 2 command line not understood.\n",
     shaped<0, 0>, nullptr},
    {"watch", "", "every message the site daemon sends, until interrupted",
     "A daemon that does not answer yet is waited for.\n"
     "Exit status: 0 after SIGINT or SIGTERM, 2 command line not understood.\n",
     shaped<0, 0>, nullptr},
    {"codes add", "CODE READER [--force]", "give CODE to READER",
     "A new database is made from codes.sql when there is none. READER needs a record in\n"
     "the pairing file (--force: store it anyway).\n" CSV_FORMAT,
     shaped<2, 2, kForce>, nullptr},
    {"codes remove", "CODE", "take CODE away (every row of it)", nullptr, shaped<1, 1>, nullptr},
    {"codes list", "[READER]", "the codes, all or one reader's", nullptr, shaped<0, 1>, nullptr},
    {"codes import", "FILE [--force]", "make FILE's codes the whole set (- reads standard input)",
     "The set is checked whole before the database is replaced in one step; every reader\n"
     "needs a record in the pairing file (--force: store it anyway), and a file without a\n"
     "code needs --force.\n" CSV_FORMAT,
     shaped<1, 1, kForce>, nullptr},
    {"codes export", "[FILE]", "the set as CSV, to FILE or standard output", CSV_FORMAT,
     shaped<0, 1>, nullptr},
    {"codes pack", "--site S --unit U|'*' --version N FILE [-o OUT] [--force]",
     "the message of a signed code set, for signify-openbsd -S -e",
     "Reads FILE (CSV, - for standard input) as codes import does; reads no pairing file.\n"
     "-o, --output OUT: write the message to OUT instead of standard output. --force: a\n"
     "set without a code (it takes every code away).\n" CSV_FORMAT,
     shaped<1, 1, kForce | kPack>, nullptr},
    {"codes apply-signed", "[--watch] [--link-config LINKCONF]",
     "apply the signed code sets the fleet link spooled",
     "Each set is verified and applied as codes import applies a file. --watch: as they\n"
     "come, until SIGTERM or SIGINT. LINKCONF: the link's configuration (its keys and\n"
     "spool folders).\n",
     shaped<0, 0, kLink>, nullptr},
};

const char* const kGlobalOptions[] = {"--config", "-C", nullptr};

}  // namespace

const verbs::Tool kTool = {
    "dorvanectl",
    DORVANE_VERSION,
    kVerbs,
    sizeof(kVerbs) / sizeof(kVerbs[0]),
    kGlobalOptions,
    "[--config FILE]",
    nullptr,
    optionCommand,
    "--config FILE: the service's configuration (default " DORVANE_CONFIG_FILE
    "), anywhere.\n"
    "Options of old, the same as verbs: --check, --lookup CODE, --ports, --watch.\n"
    "Exit status: 0 done, 1 refused or failed (nothing written), 2 command line not\n"
    "understood.\n",
};

}  // namespace ctl
