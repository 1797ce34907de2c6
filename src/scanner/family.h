// A shell's family, from the one process list of the scan: what it runs now
// (its children) and who stands behind its parent (the parent's parent and
// on up). Nothing is opened for either.
#ifndef MURKSCOPE_FAMILY_H
#define MURKSCOPE_FAMILY_H

#include <windows.h>

#include "processlist.h"

#define ANCESTORS_MAX 8
#define CHILDREN_MAX 64
// The System process: the chain above a shell ends below it.
#define SYSTEM_PROCESS_ID 4

typedef struct SHELL_FAMILY {
    DWORD ancestorCount;
    LISTED_PROCESS ancestors[ANCESTORS_MAX];  // nearest first
    DWORD childCount;
    int childrenCut;  // more children than CHILDREN_MAX
    LISTED_PROCESS children[CHILDREN_MAX];    // in list order
} SHELL_FAMILY;

// Fills family for shell, whose running parent is parent (NULL when it is
// not running: no ancestors then). An ancestor is the parent of the process
// below it, in the list and created no later than it; the chain ends at one
// that is not, at an id already in the chain, at the System process, or
// after ANCESTORS_MAX. A child names the shell as its parent and was created
// no earlier than it; ownProcessId is never one.
void CollectShellFamily(const PROCESS_LIST* list, const LISTED_PROCESS* shell, const LISTED_PROCESS* parent,
                        DWORD ownProcessId, SHELL_FAMILY* family);

// 1 for the image name of a console host: conhost.exe, or OpenConsole.exe,
// the one Windows Terminal and editors bring.
int IsConsoleHostName(const WCHAR* name, size_t chars);
// The first process of the list with a console host's name that process
// started (it names process as its parent and was created no earlier than
// it): the host of a console it made; 1 when there is one.
int FindConsoleHostChild(const PROCESS_LIST* list, const LISTED_PROCESS* process, LISTED_PROCESS* host);

#endif
