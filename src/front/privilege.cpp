// The tool's own token: SeDebugPrivilege, which widens the set of processes
// it can open when the user holds it, and the queries behind the JSON
// layout's "elevated" and "debug_privilege".
#include "privilege.h"

#include <windows.h>

#include "../scanner/jsonscan.h"
#include "version.h"

#define OWN_PRIVILEGES_BYTES 4096

void EnableDebugPrivilege(void)
{
    HANDLE token = NULL;
    LUID debugLuid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) &&
        LookupPrivilegeValueA(NULL, "SeDebugPrivilege", &debugLuid)) {
        TOKEN_PRIVILEGES privileges;
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Luid = debugLuid;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), NULL, NULL);
    }
    if (token != NULL)
        CloseHandle(token);
}

int QueryOwnElevation(int* elevated)
{
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation;
    DWORD returned = 0;
    *elevated = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    int answered = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &returned) ? 1 : 0;
    if (answered)
        *elevated = elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return answered;
}

int QueryOwnDebugPrivilege(int* enabled)
{
    HANDLE token = NULL;
    LUID debugLuid;
    DWORD returned = 0;
    union {
        TOKEN_PRIVILEGES list;
        unsigned char bytes[OWN_PRIVILEGES_BYTES];
    } privileges;
    *enabled = 0;
    if (!LookupPrivilegeValueA(NULL, "SeDebugPrivilege", &debugLuid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    int answered = GetTokenInformation(token, TokenPrivileges, &privileges, sizeof(privileges), &returned) ? 1 : 0;
    if (answered) {
        const TOKEN_PRIVILEGES* list = &privileges.list;
        DWORD room = (DWORD)((sizeof(privileges) - sizeof(DWORD)) / sizeof(LUID_AND_ATTRIBUTES));
        DWORD count = list->PrivilegeCount < room ? list->PrivilegeCount : room;
        for (DWORD index = 0; index < count; index++) {
            const LUID_AND_ATTRIBUTES* each = &list->Privileges[index];
            if (each->Luid.LowPart == debugLuid.LowPart && each->Luid.HighPart == debugLuid.HighPart)
                *enabled = (each->Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    CloseHandle(token);
    return answered;
}

void ReadRunFacts(RUN_FACTS* facts)
{
    facts->version = VERSION_FULL_TEXT;
    facts->foundElevated = QueryOwnElevation(&facts->elevated);
    facts->foundDebugPrivilege = QueryOwnDebugPrivilege(&facts->debugPrivilege);
}
