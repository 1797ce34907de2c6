// One pass over the process snapshot: every process with a prompt entry is
// printed with its id, parent id, name, owner and path.
#include "scan.h"

#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

#include "../front/console.h"
#include "environment.h"

static int HeaderPending = 1;

static const char UNDERSCORES[] = "________________________________________________________________";
static const char HYPHENS[] = "----------------------------------------------------------------";
static const char SYSTEM_ROOT_PREFIX[] = "\\SystemRoot\\";
#define SYSTEM_ROOT_PREFIX_CHARS 12

// Bounded copy that always leaves a terminated text.
static void CopyText(char* text, DWORD capacity, const char* source)
{
    if (capacity == 0)
        return;
    _snprintf(text, capacity - 1, "%s", source);
    text[capacity - 1] = '\0';
}

static int HasSystemRootPrefix(const char* path)
{
    for (int index = 0; index < SYSTEM_ROOT_PREFIX_CHARS; index++) {
        char left = path[index];
        char right = SYSTEM_ROOT_PREFIX[index];
        if (left >= 'A' && left <= 'Z')
            left = (char)(left + 32);
        if (right >= 'A' && right <= 'Z')
            right = (char)(right + 32);
        if (left != right)
            return 0;
    }
    return 1;
}

void ExpandSystemRootPath(const char* modulePath, char* text, DWORD capacity)
{
    char windowsDirectory[WINDOWS_DIRECTORY_CHARS];
    if (!HasSystemRootPrefix(modulePath)) {
        CopyText(text, capacity, modulePath);
        return;
    }
    UINT length = GetWindowsDirectoryA(windowsDirectory, sizeof(windowsDirectory));
    if (length == 0 || length >= sizeof(windowsDirectory)) {
        // Without the directory the path is left as the snapshot gave it.
        CopyText(text, capacity, modulePath);
        return;
    }
    if (capacity == 0)
        return;
    _snprintf(text, capacity - 1, "%s\\%s", windowsDirectory, modulePath + SYSTEM_ROOT_PREFIX_CHARS);
    text[capacity - 1] = '\0';
}

int GetProcessUserName(DWORD processId, char* text, DWORD capacity)
{
    CopyText(text, capacity, "SYSTEM");
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        CloseHandle(process);
        return 0;
    }

    // DWORD-typed storage keeps the SID pointer inside suitably aligned.
    DWORD tokenUser[TOKEN_USER_BYTES / sizeof(DWORD)];
    DWORD returnLength = sizeof(tokenUser);
    char name[ACCOUNT_NAME_CHARS];
    char domain[ACCOUNT_NAME_CHARS];
    DWORD nameChars = sizeof(name);
    DWORD domainChars = sizeof(domain);
    SID_NAME_USE use;
    memset(name, 0, sizeof(name));
    memset(domain, 0, sizeof(domain));
    int found = GetTokenInformation(token, TokenUser, tokenUser, sizeof(tokenUser), &returnLength) &&
                LookupAccountSidA(NULL, ((TOKEN_USER*)tokenUser)->User.Sid, name, &nameChars, domain,
                                  &domainChars, &use);
    if (found) {
        name[sizeof(name) - 1] = '\0';
        CopyText(text, capacity, name);
    }
    CloseHandle(token);
    CloseHandle(process);
    return found ? 1 : 0;
}

int GetProcessImagePath(DWORD processId, char* text, DWORD capacity)
{
    CopyText(text, capacity, "");
    if (processId == 0)
        return 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    MODULEENTRY32 module;
    module.dwSize = sizeof(module);
    int found = Module32First(snapshot, &module) ? 1 : 0;
    if (found) {
        module.szExePath[sizeof(module.szExePath) - 1] = '\0';
        ExpandSystemRootPath(module.szExePath, text, capacity);
    }
    CloseHandle(snapshot);
    return found;
}

int IsProcess32Bit(DWORD processId)
{
    BOOL isWow64 = FALSE;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    if (IsWow64ProcessEntry != NULL)
        IsWow64ProcessEntry(process, &isWow64);
    CloseHandle(process);
    return isWow64;
}

void CapitalizeFirstLetter(char* text)
{
    if (text[0] >= 'a' && text[0] <= 'z')
        text[0] = (char)(text[0] - 32);
}

void PrintProcessRecord(int mode, DWORD processId, DWORD parentProcessId, const char* userName,
                        const char* processName, const char* processPath)
{
    if (HeaderPending) {
        SetTextColor(COLOR_RED);
        printf("\n\n\n%s", UNDERSCORES);
        printf("\n\n :: Searching for the Command Prompts (cmd.exe)");
        printf("\n\n%s", UNDERSCORES);
        printf("\n");
        HeaderPending = 0;
    }
    SetTextColor(COLOR_GREEN);

    // Identifiers are printed with the signed conversion, as the system's
    // own tools show them.
    int id = (int)processId;
    int parentId = (int)parentProcessId;
    if (mode == OUTPUT_LINE) {
        printf("\n\n\n Process ID=%d; Parent Process ID=%d; Process Name=%s; User Name=%s; Process Path=%s;", id,
               parentId, processName, userName, processPath);
    } else if (mode == OUTPUT_XML) {
        printf("\n\n\n <Cmd_Process>");
        printf("\n    <Process_ID> %d </Process_ID>", id);
        printf("\n    <Parent_Process_ID> %d </Parent_Process_ID>", parentId);
        printf("\n    <Process_Name> %s </Process_Name>", processName);
        printf("\n    <User_Name> %s </User_Name>", userName);
        printf("\n    <Process_Path> %s </Process_Path>", processPath);
        printf("\n </Cmd_Process>");
    } else {
        printf("\n\n\n\tProcess ID:          %-d", id);
        printf("\n\n\tParent Process ID:   %-d", parentId);
        printf("\n\n\tProcess Name:        %s", processName);
        printf("\n\n\tUser Name:           %s", userName);
        printf("\n\n\tProcess Path:        %s", processPath);
    }
    printf("\n\n%s", HYPHENS);
}

void ScanProcesses(int mode)
{
    PrintBanner();

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        PrintError("\n\n\t Error: Failed to get running process list, Error Code = 0x%.8x\n\n", GetLastError());
        return;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    if (!Process32First(snapshot, &entry)) {
        PrintError("\n\n\t Error: Failed to get running process info, Error Code = 0x%.8x\n\n", GetLastError());
        CloseHandle(snapshot);
        return;
    }

    DWORD ownProcessId = GetCurrentProcessId();
    int records = 0;
    do {
        if (entry.th32ProcessID == ownProcessId || !IsCommandPromptProcess(entry.th32ProcessID))
            continue;
        records++;

        char userName[FIELD_BUFFER_BYTES];
        char processName[FIELD_BUFFER_BYTES];
        char processPath[FIELD_BUFFER_BYTES];
        entry.szExeFile[sizeof(entry.szExeFile) - 1] = '\0';
        GetProcessUserName(entry.th32ProcessID, userName, sizeof(userName));
        if (IsProcess32Bit(entry.th32ProcessID) == 1)
            _snprintf(processName, sizeof(processName) - 1, "%s *32", entry.szExeFile);
        else
            _snprintf(processName, sizeof(processName) - 1, "%s", entry.szExeFile);
        processName[sizeof(processName) - 1] = '\0';
        CapitalizeFirstLetter(processName);
        GetProcessImagePath(entry.th32ProcessID, processPath, sizeof(processPath));
        PrintProcessRecord(mode, entry.th32ProcessID, entry.th32ParentProcessID, userName, processName,
                           processPath);
    } while (Process32Next(snapshot, &entry));
    CloseHandle(snapshot);

    if (records == 0) {
        SetTextColor(COLOR_GREEN);
        printf("\n\n\t No Command-prompt oriented Processes found on your system");
    }
    printf("\n\n");
}
