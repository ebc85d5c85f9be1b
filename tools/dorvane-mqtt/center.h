// The center's tools in the link's program: what a central system sees of a
// site's units through the broker. argv[0] is the verb.
//
// dorvane-mqtt status [--config FILE] [--site S] [--wait SECONDS]: one line
// per unit of the site, sorted by name, from the retained status and
// codes/applied messages.
// dorvane-mqtt events [--config FILE] [--site S] [--json] [--session ID]:
// every unit's events as they come, one line each.
//
// Both return the exit status: 0, 1 when the broker cannot be reached, 2
// for a command line or a configuration they refuse (one line on standard
// error). They run on the calling thread and install SIGTERM and SIGINT
// handlers (a stop ends them with status 0).
#ifndef DORVANE_TOOLS_DORVANE_MQTT_CENTER_H
#define DORVANE_TOOLS_DORVANE_MQTT_CENTER_H

int centerStatus(int argc, char** argv);
int centerEvents(int argc, char** argv);

#endif
