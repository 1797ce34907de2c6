// Whose console a shell runs in: the console host process (conhost.exe, or
// Windows Terminal's OpenConsole.exe), how its command line says it was
// started, and for a pseudo console (ConPTY) the program that made it, which
// for an ordinary terminal is the terminal, and for a reverse shell hidden in
// one an odd program.
#ifndef MURKSCOPE_CONSOLEHOST_H
#define MURKSCOPE_CONSOLEHOST_H

#include <windows.h>

#include "evidence.h"
#include "processlist.h"

// ProcessConsoleHostProcess (Windows 8 and later): the host's id, with flags
// in its low two bits.
#define PROCESS_CONSOLE_HOST_PROCESS 49
#define CONSOLE_HOST_ID_FLAGS 0x3
// The siblings of a shell whose command lines are read at most, looking for
// a pseudo console's host.
#define CONSOLE_HOST_SIBLINGS_READ 4
#define CONSOLE_HOST_ACCESS (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)

typedef struct SHELL_CONSOLE_HOST {
    int found;
    LISTED_PROCESS host;
    const char* mode;         // "classic", "pseudo-console", "headless-launcher", "handoff" or "other"
    REMOTE_TEXT commandLine;  // not found when it could not be read (mode "other")
    int foundOwner;           // a pseudo console whose maker, the host's parent, runs
    LISTED_PROCESS owner;
} SHELL_CONSOLE_HOST;

// The host the system names for the process behind handle (opened with at
// least PROCESS_QUERY_LIMITED_INFORMATION); 0 where it does not answer.
DWORD QueryConsoleHostProcess(HANDLE process);

// The mode a host's command line (chars characters, not terminated) gives:
// "handoff" with -Embedding; "classic" without --headless; "pseudo-console"
// with --headless and --signal, the pipe its maker resizes and closes it
// through; "headless-launcher" with --headless, a command to run and neither
// --signal nor --server; "other" for anything else.
const char* NameConsoleHostMode(const WCHAR* commandLine, size_t chars);

// Finds shell's console host, the first that answers: queried (what
// QueryConsoleHostProcess gave, 0 for nothing) when it is in the list; a
// child with a console host's name; the parent, when it is one started
// --headless (OpenSSH's form); a sibling with such a name created no later
// than the shell and started --headless. Reads each candidate's command line
// (at most three reads) and takes its mode, and for a pseudo console its
// running parent as its owner.
void FindConsoleHost(const PROCESS_LIST* list, const LISTED_PROCESS* shell, DWORD queried,
                     SHELL_CONSOLE_HOST* found);

// 1 when an image name is that of a known terminal host, which makes pseudo
// consoles as its work: Windows Terminal, OpenSSH, editors, terminals.
int IsKnownTerminalHost(const WCHAR* name, size_t chars);

#endif
