// dorvanectl ports and watch: the site daemon's own words, printed with the
// message dump printer.
#ifndef DORVANE_TOOLS_DORVANECTL_DAEMON_H
#define DORVANE_TOOLS_DORVANECTL_DAEMON_H

namespace ctl {

// Prints the reply to the service's port query; 1 when the daemon does not
// answer.
int ports(const char* configPath);
// Prints every message of the site daemon until SIGINT or SIGTERM; 0.
int watch(const char* configPath);

}  // namespace ctl

#endif
