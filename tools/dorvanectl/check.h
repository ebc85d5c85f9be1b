// dorvanectl check: what does not fit together in the settings, the pairing
// file, the access database and the site, one line each.
#ifndef DORVANE_TOOLS_DORVANECTL_CHECK_H
#define DORVANE_TOOLS_DORVANECTL_CHECK_H

namespace ctl {

// Prints the findings; returns 0 when nothing stops a code from toggling,
// 1 otherwise.
int check(const char* configPath);

}  // namespace ctl

#endif
