// The printing of the four layouts: the block, line and XML records with
// their header and closing lines, and the JSON Lines objects of -j.
#ifndef MURKSCOPE_REPORT_H
#define MURKSCOPE_REPORT_H

#include <windows.h>

#include "consolehost.h"
#include "consolewindow.h"
#include "enginepipes.h"
#include "environment.h"
#include "evidence.h"
#include "family.h"
#include "imageidentity.h"
#include "processlist.h"
#include "tcptable.h"

// OutputMode values; the record printer treats anything else as the block.
#define OUTPUT_BLOCK 0
#define OUTPUT_LINE 1
#define OUTPUT_XML 2
#define OUTPUT_JSON 3

// Names, owners and paths of the block, line and XML layouts.
#define FIELD_BUFFER_BYTES 1000

void PrintProcessRecord(int mode, DWORD processId, DWORD parentProcessId, const char* userName,
                        const char* processName, const char* processPath);
// Turns every byte below 0x20, and 0x7F, into '?': names, owners and paths
// are printed with it, so that one process is always exactly one record.
void ReplaceControlCharacters(char* text);
// After the walk: the no-match line when nothing was printed, then the
// closing empty lines.
void PrintScanEnd(int records);

// Whether a shell's parent still runs: a process with its id is in the list
// and was created no later than the shell (a later one only took the id).
#define PARENT_GONE 0
#define PARENT_RUNNING 1
#define PARENT_UNKNOWN 2  // a creation time is missing, so nobody can tell

#define SHELL_SIGNS_MAX 24  // more than every sign there is

// One listed shell in the JSON layouts.
typedef struct SHELL_REPORT {
    const WCHAR* host;  // NULL when the computer's name could not be found
    const LISTED_PROCESS* process;  // id, parent id, name, creation time, session
    int wow64;
    // Both NULL for an interpreter that could not be opened: it is reported
    // from the list alone.
    const PROMPT_MATCH* match;
    const SHELL_EVIDENCE* evidence;
    int promptAnswer;               // the shell test's PROMPT_* answer
    const IMAGE_IDENTITY* identity; // original name and interpreter
    const ENGINE_PIPE* enginePipe;  // its PowerShell host pipe, or NULL
    int starting;                   // younger than SHELL_START_MILLISECONDS at the scan
    int parentState;                // PARENT_*
    const LISTED_PROCESS* parent;   // the running parent's record, else NULL
    const WCHAR* parentPath;        // NULL when not running or not found
    const SHELL_CONNECTIONS* connections;  // NULL when the TCP tables could not be read
    const SHELL_FAMILY* family;
    const SHELL_WINDOW* window;     // its console window as it stands
    const SHELL_CONSOLE_HOST* consoleHost;  // whose console it runs in
    const WCHAR* consoleOwnerPath;  // the pseudo console's maker's path, or NULL
    int signCount;
    const char* signs[SHELL_SIGNS_MAX];
} SHELL_REPORT;

// The closing object of the JSON layouts.
typedef struct SCAN_REPORT {
    const WCHAR* host;
    const char* version;  // the tool's, as its version resource gives it
    FILETIME started;
    int foundElevated;
    int elevated;
    int foundDebugPrivilege;
    int debugPrivilege;
    DWORD processes;
    DWORD unreadable;
    DWORD protectedProcesses;  // refused reading as protected processes do
    DWORD shells;
    int foundEnginePipes;   // the named pipes were listed (the last time, in a watch)
    DWORD enginePipes;      // host pipes that matched a listed process
    const char* errorCall;  // NULL when the process list could be read
    DWORD errorCode;
    int watched;            // a watch's: it also says when it ended
    FILETIME ended;
} SCAN_REPORT;

// A shell a watch listed that has gone.
typedef struct ENDED_REPORT {
    const WCHAR* host;
    DWORD processId;
    const WCHAR* name;
    DWORD nameChars;
    ULONGLONG created;
    FILETIME ended;  // the poll that missed it
} ENDED_REPORT;

void PrintShellObject(const SHELL_REPORT* report);
void PrintScanObject(const SCAN_REPORT* report);
void PrintEndedObject(const ENDED_REPORT* report);

// Writes text as a JSON string: UTF-8, escaped as JSON requires, a lone
// surrogate as U+FFFD.
void PrintJsonText(const WCHAR* text, size_t characters);

#endif
