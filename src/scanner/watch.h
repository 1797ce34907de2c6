// -w: the watch. Polls the system's process list and prints each shell as
// it appears, and an ended object when a listed shell has gone, as JSON
// Lines flushed line by line, until stopped or for the seconds given.
#ifndef MURKSCOPE_WATCH_H
#define MURKSCOPE_WATCH_H

#include <windows.h>

#define WATCH_POLL_MILLISECONDS 100
#define WATCH_SECONDS_MAX 604800
// The processes the watch keeps track of at once.
#define WATCH_PROCESSES_MAX 262144

// Watches until Ctrl+C, Ctrl+Break, the console closing or the output
// failing, or for seconds when it is not 0; answers the exit status of the
// JSON layouts.
int WatchProcesses(DWORD seconds);

#endif
