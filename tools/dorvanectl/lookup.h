// dorvanectl lookup CODE: what a scan of CODE would do, decided by the
// service's own code, and the access trail line it would write.
#ifndef DORVANE_TOOLS_DORVANECTL_LOOKUP_H
#define DORVANE_TOOLS_DORVANECTL_LOOKUP_H

namespace ctl {

// Returns 0 when the scan would toggle something, 1 otherwise.
int lookup(const char* configPath, const char* code);

}  // namespace ctl

#endif
