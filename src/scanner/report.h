// The printing of the four layouts: the block, line and XML records with
// their header and closing lines, and the JSON Lines objects of -j.
#ifndef MURKSCOPE_REPORT_H
#define MURKSCOPE_REPORT_H

#include <windows.h>

#include "environment.h"
#include "evidence.h"

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

// One listed shell in the JSON layout.
typedef struct SHELL_REPORT {
    const WCHAR* host;  // NULL when the computer's name could not be found
    DWORD processId;
    DWORD parentProcessId;
    const WCHAR* name;
    int wow64;
    const PROMPT_MATCH* match;
    const SHELL_EVIDENCE* evidence;
    int parentRunning;
    const WCHAR* parentName;  // NULL when the parent is not running
} SHELL_REPORT;

// The closing object of the JSON layout.
typedef struct SCAN_REPORT {
    const WCHAR* host;
    FILETIME started;
    int foundElevated;
    int elevated;
    int foundDebugPrivilege;
    int debugPrivilege;
    DWORD processes;
    DWORD unreadable;
    DWORD shells;
    const char* errorCall;  // NULL when the process list could be walked
    DWORD errorCode;
} SCAN_REPORT;

void PrintShellObject(const SHELL_REPORT* report);
void PrintScanObject(const SCAN_REPORT* report);

// Writes text as a JSON string: UTF-8, escaped as JSON requires, a lone
// surrogate as U+FFFD.
void PrintJsonText(const WCHAR* text, size_t characters);

#endif
