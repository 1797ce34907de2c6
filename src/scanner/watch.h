// -w: the watch. Polls the system's process list and prints each shell as
// it appears, and an ended object when a listed shell has gone, as JSON
// Lines flushed line by line, until stopped or for the seconds given.
#ifndef MURKSCOPE_WATCH_H
#define MURKSCOPE_WATCH_H

#include <windows.h>

#include "jsonscan.h"

#define WATCH_POLL_MILLISECONDS 100
#define WATCH_SECONDS_MAX 604800
// A list that cannot be read is read again after 100 ms, then twice as long
// each time up to this, and the watch gives up once it has failed for
// WATCH_LIST_FAILING_MILLISECONDS in a row.
#define WATCH_RETRY_MAX_MILLISECONDS 3200
#define WATCH_LIST_FAILING_MILLISECONDS 30000
// The processes the watch keeps track of at once.
#define WATCH_PROCESSES_MAX 262144

// Watches until Ctrl+C, Ctrl+Break, the console closing, the system shutting
// down or the output failing or its reader going, or for seconds when it is
// not 0; answers the exit status of the JSON layouts.
int WatchProcesses(DWORD seconds, const RUN_FACTS* facts);

// The watch's console control handler, which WatchProcesses installs; a
// logoff does not stop the watch.
BOOL WINAPI HandleWatchControl(DWORD controlType);

#endif
