// Walks the scan's process list for a shell's ancestors and children. Ids
// are reused once a process ends, so a parent id alone proves nothing: a
// process counts as the parent of another only when it was created no later
// than that one, and a missing creation time ends the chain.
#include "family.h"

#include "text.h"

static int IsInChain(const SHELL_FAMILY* family, const LISTED_PROCESS* shell, const LISTED_PROCESS* parent,
                     DWORD processId)
{
    if (processId == shell->processId || processId == parent->processId)
        return 1;
    for (DWORD index = 0; index < family->ancestorCount; index++)
        if (family->ancestors[index].processId == processId)
            return 1;
    return 0;
}

static void CollectAncestors(const PROCESS_LIST* list, const LISTED_PROCESS* shell, const LISTED_PROCESS* parent,
                             SHELL_FAMILY* family)
{
    const LISTED_PROCESS* below = parent;
    while (family->ancestorCount < ANCESTORS_MAX) {
        DWORD processId = below->parentProcessId;
        LISTED_PROCESS* next = &family->ancestors[family->ancestorCount];
        if (processId == SYSTEM_PROCESS_ID || IsInChain(family, shell, parent, processId) ||
            !FindListedProcess(list, processId, next))
            return;
        if (next->created == 0 || below->created == 0 || next->created > below->created)
            return;
        below = next;
        family->ancestorCount++;
    }
}

static void CollectChildren(const PROCESS_LIST* list, const LISTED_PROCESS* shell, DWORD ownProcessId,
                            SHELL_FAMILY* family)
{
    LISTED_PROCESS process;
    DWORD position = 0;
    if (shell->created == 0)
        return;
    while (NextListedProcess(list, &position, &process)) {
        if (process.parentProcessId != shell->processId || process.processId == shell->processId ||
            process.processId == ownProcessId || process.created == 0 || process.created < shell->created)
            continue;
        if (family->childCount == CHILDREN_MAX) {
            family->childrenCut = 1;
            return;
        }
        family->children[family->childCount++] = process;
    }
}

void CollectShellFamily(const PROCESS_LIST* list, const LISTED_PROCESS* shell, const LISTED_PROCESS* parent,
                        DWORD ownProcessId, SHELL_FAMILY* family)
{
    family->ancestorCount = 0;
    family->childCount = 0;
    family->childrenCut = 0;
    if (parent != NULL)
        CollectAncestors(list, shell, parent, family);
    CollectChildren(list, shell, ownProcessId, family);
}

int IsConsoleHostName(const WCHAR* name, size_t chars)
{
    return IsSameAsciiName(name, chars, "conhost.exe") || IsSameAsciiName(name, chars, "OpenConsole.exe");
}

int FindConsoleHostChild(const PROCESS_LIST* list, const LISTED_PROCESS* process, LISTED_PROCESS* host)
{
    DWORD position = 0;
    if (process->created == 0)
        return 0;
    while (NextListedProcess(list, &position, host))
        if (host->parentProcessId == process->processId && host->processId != process->processId &&
            host->created != 0 && host->created >= process->created && IsConsoleHostName(host->name, host->nameChars))
            return 1;
    return 0;
}
