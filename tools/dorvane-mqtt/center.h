// The center's view of the fleet, from the broker: dorvane-mqtt status (one
// line per unit of the site) and dorvane-mqtt events (the units' access
// events as they come).
//
// Each is a verb's handler (src/verb_table.h): argv[0] is the verb, then its
// options (--config FILE and its own). Returns the exit status: 2 for a
// command line it refuses (one line on standard error), 1 when it cannot do
// its work, 0 otherwise. Call from the main thread, once per process.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_CENTER_H
#define DORVANE_TOOLS_DORVANE_MQTT_CENTER_H

int centerStatus(int argc, char** argv);
int centerEvents(int argc, char** argv);

#endif
