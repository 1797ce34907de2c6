// Console front end: colours, the fixed texts and the process-wide values the
// scan shares with the entry point.
#ifndef MURKSCOPE_CONSOLE_H
#define MURKSCOPE_CONSOLE_H

#include <windows.h>

// Colour values handed to SetTextColor; it adds the intensity bit.
#define COLOR_GREEN 2
#define COLOR_RED 4
#define COLOR_WHITE 7

#define ERROR_TEXT_BYTES 4096

typedef BOOL(WINAPI* IsWow64ProcessFunction)(HANDLE process, PBOOL isWow64);

// Set once by main before the scan; null when the system lacks IsWow64Process.
extern IsWow64ProcessFunction IsWow64ProcessEntry;

WORD GetTextAttributes(void);
void SetTextColor(WORD value);
void RestoreTextAttributes(WORD value);
void PrintBanner(void);
void PrintUsage(void);
void PrintError(const char* format, ...);
void ResolveIsWow64Process(void);
// Puts saved back when Ctrl+C or Ctrl+Break ends the run during a scan, and
// sets no colour after that. The key wait handles those keys itself.
void RestoreAttributesOnControl(WORD saved);

// Waits for one key press on the console's own input; returns at once when
// there is no console. Ctrl+C and Ctrl+Break end the wait like a key.
void WaitForKeyPress(void);
// 1 when standard output is a console someone can see, not a file or pipe.
int IsStandardOutputConsole(void);

#endif
