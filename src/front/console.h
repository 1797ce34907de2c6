// Console front end: the fixed texts and the key wait.
#ifndef MURKSCOPE_CONSOLE_H
#define MURKSCOPE_CONSOLE_H

#include <windows.h>

#include "../scanner/textcolour.h"

#define ERROR_TEXT_BYTES 4096

void PrintBanner(void);
void PrintUsage(void);
void PrintError(const char* format, ...);

// Waits for one key press on the console's own input; returns at once when
// there is no console. Ctrl+C and Ctrl+Break end the wait like a key.
void WaitForKeyPress(void);
// 1 when standard output is a console someone can see, not a file or pipe.
int IsStandardOutputConsole(void);

#endif
