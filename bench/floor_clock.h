// The floors' own clock and their one report line. A floor prints nothing
// unless asked: with "-r" it writes one line to standard error after its work,
// so that the harness can read the in-process time without the report
// falling inside it.
#ifndef MURKSCOPE_FLOOR_CLOCK_H
#define MURKSCOPE_FLOOR_CLOCK_H

#include <windows.h>

struct FloorCounts {
    DWORD processes;  // entries in the process snapshot, our own included
    DWORD opened;     // processes opened for the environment read
    DWORD listed;     // processes with a prompt entry
    DWORD wow64;      // processes the ProcessWow64Information query called WOW64
};

// Microseconds since an earlier ReadClock value.
double MicrosecondsSince(LARGE_INTEGER start);
LARGE_INTEGER ReadClock(void);

// Answers 1 when the argument vector holds the given option.
int HasOption(int argc, char** argv, const char* option);

// "work_us=<time> processes=<n> opened=<n> listed=<n> wow64=<n>" on standard
// error.
void ReportFloor(double workMicroseconds, const FloorCounts* counts);

#endif
