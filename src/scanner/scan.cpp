// One pass over the process snapshot: every process with a prompt entry is
// printed with its id, parent id, name, owner and path in the block, line or
// XML layout.
#include "scan.h"

#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

#include "account.h"
#include "asciifold.h"
#include "environment.h"
#include "imageidentity.h"
#include "text.h"

static const char SYSTEM_ROOT_PREFIX[] = "\\SystemRoot\\";
#define SYSTEM_ROOT_PREFIX_CHARS 12

static int HasSystemRootPrefix(const char* path)
{
    for (int index = 0; index < SYSTEM_ROOT_PREFIX_CHARS; index++) {
        if (FoldAsciiLetter((unsigned char)path[index]) != FoldAsciiLetter((unsigned char)SYSTEM_ROOT_PREFIX[index]))
            return 0;
    }
    return 1;
}

void ExpandSystemRootPath(const char* imagePath, char* text, DWORD capacity)
{
    char windowsDirectory[WINDOWS_DIRECTORY_CHARS];
    if (!HasSystemRootPrefix(imagePath)) {
        CopyText(text, capacity, imagePath);
        return;
    }
    UINT length = GetWindowsDirectoryA(windowsDirectory, sizeof(windowsDirectory));
    if (length == 0 || length >= sizeof(windowsDirectory)) {
        // Without the directory the path is left as the system gave it.
        CopyText(text, capacity, imagePath);
        return;
    }
    if (capacity == 0)
        return;
    _snprintf(text, capacity - 1, "%s\\%s", windowsDirectory, imagePath + SYSTEM_ROOT_PREFIX_CHARS);
    text[capacity - 1] = '\0';
}

int GetProcessUserName(DWORD processId, char* text, DWORD capacity)
{
    static PROCESS_OWNER owner;
    char name[ACCOUNT_NAME_CHARS];
    CopyText(text, capacity, "SYSTEM");
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    HANDLE token = NULL;
    int found = 0;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        // In the system code page, as the record's other texts are.
        found = ReadTokenOwner(token, &owner) &&
                WideCharToMultiByte(CP_ACP, 0, owner.user, -1, name, sizeof(name), NULL, NULL) > 0;
        CloseHandle(token);
    }
    CloseHandle(process);
    if (found) {
        name[sizeof(name) - 1] = '\0';
        CopyText(text, capacity, name);
    }
    return found;
}

int GetProcessImagePath(DWORD processId, char* text, DWORD capacity)
{
    CopyText(text, capacity, "");
    if (processId == 0)
        return 0;
    // The system's own record of the image the process was created from:
    // the loader list a module snapshot reads lies in the target's memory,
    // where the target can write any path it likes.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    // A process that has ended since the snapshot gets no path, as it got
    // none when its module list was read: the record may outlive it, but
    // the report is of running processes.
    static WCHAR widePath[IMAGE_PATH_CHARS];
    char path[IMAGE_PATH_BYTES];
    DWORD exitCode = 0;
    int found = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE &&
                QueryImagePath(process, widePath, IMAGE_PATH_CHARS);
    CloseHandle(process);
    // In the system code page, as the record's other texts are.
    if (found && WideCharToMultiByte(CP_ACP, 0, widePath, -1, path, sizeof(path), NULL, NULL) > 0) {
        path[sizeof(path) - 1] = '\0';
        ExpandSystemRootPath(path, text, capacity);
        return 1;
    }
    return 0;
}

int IsProcess32Bit(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    int is32Bit = QueryPeb32Address(process) != 0;
    CloseHandle(process);
    return is32Bit;
}

void CapitalizeFirstLetter(char* text)
{
    if (text[0] >= 'a' && text[0] <= 'z')
        text[0] = (char)(text[0] - 32);
}

int ScanProcesses(int mode, DWORD* errorCode)
{
    *errorCode = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        *errorCode = GetLastError();
        return SCAN_NO_SNAPSHOT;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    if (!Process32First(snapshot, &entry)) {
        *errorCode = GetLastError();
        CloseHandle(snapshot);
        return SCAN_NO_FIRST_PROCESS;
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
        if (IsProcess32Bit(entry.th32ProcessID) == 1) {
            _snprintf(processName, sizeof(processName) - 1, "%s *32", entry.szExeFile);
            processName[sizeof(processName) - 1] = '\0';
        } else {
            CopyText(processName, sizeof(processName), entry.szExeFile);
        }
        CapitalizeFirstLetter(processName);
        GetProcessImagePath(entry.th32ProcessID, processPath, sizeof(processPath));
        PrintProcessRecord(mode, entry.th32ProcessID, entry.th32ParentProcessID, userName, processName,
                           processPath);
    } while (Process32Next(snapshot, &entry));
    CloseHandle(snapshot);
    PrintScanEnd(records);
    return SCAN_DONE;
}
