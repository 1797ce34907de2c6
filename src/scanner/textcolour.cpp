// The console colours the text layouts print in, and the attributes put
// back when Ctrl+C or Ctrl+Break ends a run.
#include "textcolour.h"

#include <stdio.h>

// The attributes the run started with, put back by the control handler when
// Ctrl+C or Ctrl+Break ends a scan; once it has, no colour is set again.
static WORD SavedRunAttributes = 0;
static int RunEnding = 0;
// Taken around every attribute change, so that none comes after the
// handler's.
static SRWLOCK AttributeLock = SRWLOCK_INIT;

WORD GetTextAttributes(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 15;
    return info.wAttributes;
}

void SetTextColor(WORD value)
{
    // Text printed so far must show in the colour that was set before it.
    fflush(stdout);
    AcquireSRWLockExclusive(&AttributeLock);
    if (!RunEnding)
        SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), (WORD)(value | FOREGROUND_INTENSITY));
    ReleaseSRWLockExclusive(&AttributeLock);
}

void RestoreTextAttributes(WORD value)
{
    fflush(stdout);
    AcquireSRWLockExclusive(&AttributeLock);
    if (!RunEnding)
        SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), value);
    ReleaseSRWLockExclusive(&AttributeLock);
}

static BOOL WINAPI OnRunControl(DWORD controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
        return FALSE;
    // The main thread may be half-way through a coloured text: what it has
    // printed shows in its colour, then the console gets its own back, and
    // the system's handler ends the process as it would have.
    fflush(stdout);
    AcquireSRWLockExclusive(&AttributeLock);
    if (!RunEnding)
        SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), SavedRunAttributes);
    RunEnding = 1;
    ReleaseSRWLockExclusive(&AttributeLock);
    return FALSE;
}

void RestoreAttributesOnControl(WORD saved)
{
    SavedRunAttributes = saved;
    SetConsoleCtrlHandler(OnRunControl, TRUE);
}
