// One pass over the process snapshot: every process with a prompt entry is
// printed with its id, parent id, name, owner and path; in the JSON layout,
// with the evidence of how it was started and whether its parent still runs.
#include "scan.h"

#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "../front/console.h"
#include "../front/privilege.h"
#include "asciifold.h"
#include "environment.h"
#include "evidence.h"
#include "text.h"

// One process of the snapshot, as the JSON layout keeps it.
typedef struct SNAPSHOT_ENTRY {
    DWORD processId;
    DWORD parentProcessId;
    WCHAR name[MAX_PATH];
} SNAPSHOT_ENTRY;

static SNAPSHOT_ENTRY SnapshotTable[SNAPSHOT_TABLE_ENTRIES];
DWORD SnapshotTableCapacity = SNAPSHOT_TABLE_ENTRIES;

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
    CopyText(text, capacity, "SYSTEM");
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        CloseHandle(process);
        return 0;
    }

    // The record holds a SID pointer: the union aligns the buffer for it.
    union {
        TOKEN_USER user;
        unsigned char bytes[TOKEN_USER_BYTES];
    } tokenUser;
    DWORD returnLength = sizeof(tokenUser);
    char name[ACCOUNT_NAME_CHARS];
    char domain[ACCOUNT_NAME_CHARS];
    DWORD nameChars = sizeof(name);
    DWORD domainChars = sizeof(domain);
    SID_NAME_USE use;
    memset(name, 0, sizeof(name));
    memset(domain, 0, sizeof(domain));
    int found = GetTokenInformation(token, TokenUser, &tokenUser, sizeof(tokenUser), &returnLength) &&
                LookupAccountSidA(NULL, tokenUser.user.User.Sid, name, &nameChars, domain, &domainChars, &use);
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
    // The system's own record of the image the process was created from:
    // the loader list a module snapshot reads lies in the target's memory,
    // where the target can write any path it likes.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    // A process that has ended since the snapshot gets no path, as it got
    // none when its module list was read: the record may outlive it, but
    // the report is of running processes.
    char path[IMAGE_PATH_BYTES];
    DWORD length = sizeof(path);
    DWORD exitCode = 0;
    int found = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE &&
                QueryFullProcessImageNameA(process, 0, path, &length);
    CloseHandle(process);
    if (found) {
        // A path longer than the field is cut at the field's end.
        path[length < sizeof(path) ? length : sizeof(path) - 1] = '\0';
        ExpandSystemRootPath(path, text, capacity);
    }
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

// What the JSON walk carries from one process to the next.
typedef struct JSON_SCAN {
    const WCHAR* host;
    DWORD ownProcessId;
    DWORD tableEntries;
    int tableTruncated;  // the snapshot went on past the table
    // The last parent asked for its start time: shells often share one.
    DWORD knownParentId;
    int knownParentOpened;
    int knownParentFoundStarted;
    FILETIME knownParentStarted;
    SCAN_REPORT summary;
} JSON_SCAN;

static const SNAPSHOT_ENTRY* FindSnapshotEntry(const JSON_SCAN* scan, DWORD processId)
{
    for (DWORD index = 0; index < scan->tableEntries; index++)
        if (SnapshotTable[index].processId == processId)
            return &SnapshotTable[index];
    return NULL;
}

// The start time of a parent in the snapshot copy; asked once for shells
// listed one after another with the same parent. 1 when it was read.
static int ReadParentStart(JSON_SCAN* scan, DWORD parentProcessId, FILETIME* started)
{
    if (!scan->knownParentOpened || scan->knownParentId != parentProcessId) {
        scan->knownParentId = parentProcessId;
        scan->knownParentOpened = ReadProcessStart(parentProcessId, &scan->knownParentStarted,
                                                   &scan->knownParentFoundStarted, NULL, 0);
    }
    *started = scan->knownParentStarted;
    return scan->knownParentOpened && scan->knownParentFoundStarted;
}

// Whether a shell's parent still runs: a process with its id is in the
// snapshot and did not start after the shell (a later process has only
// taken over the id). When either start time cannot be read, presence
// decides. Answers the parent's name through name.
static int IsParentRunning(JSON_SCAN* scan, DWORD parentProcessId, const SHELL_EVIDENCE* evidence, WCHAR* name,
                           DWORD capacity)
{
    const SNAPSHOT_ENTRY* parent = FindSnapshotEntry(scan, parentProcessId);
    FILETIME parentStarted;
    int foundStarted = 0;
    name[0] = 0;
    if (parent != NULL) {
        if (evidence->foundStarted && ReadParentStart(scan, parentProcessId, &parentStarted) &&
            CompareFileTime(&parentStarted, &evidence->started) > 0)
            return 0;
        CopyWideText(name, capacity, parent->name, MAX_PATH);
        return 1;
    }
    if (!scan->tableTruncated)
        return 0;
    // Past the copy of a very long snapshot the process itself must answer:
    // present when it can be opened, named after its image.
    if (!ReadProcessStart(parentProcessId, &parentStarted, &foundStarted, name, capacity) || name[0] == 0 ||
        (foundStarted && evidence->foundStarted && CompareFileTime(&parentStarted, &evidence->started) > 0)) {
        name[0] = 0;
        return 0;
    }
    return 1;
}

// Tests one snapshot entry and prints it when it is a shell.
static void ReportIfShell(JSON_SCAN* scan, DWORD processId, DWORD parentProcessId, const WCHAR* name)
{
    if (processId == scan->ownProcessId)
        return;
    scan->summary.processes++;
    HANDLE process = OpenProcessForRead(processId);
    if (process == NULL) {
        scan->summary.unreadable++;
        return;
    }
    // The evidence is read through the shell test's own handle, from the
    // records the test found.
    PROMPT_MATCH match;
    SHELL_EVIDENCE evidence;
    int found = TestProcessEnvironment(process, &match);
    if (found)
        ReadShellEvidence(process, processId, &match, &evidence);
    CloseHandle(process);
    if (!found)
        return;

    WCHAR parentName[MAX_PATH];
    SHELL_REPORT report;
    report.host = scan->host;
    report.processId = processId;
    report.parentProcessId = parentProcessId;
    report.name = name;
    report.wow64 = match.peb32 != 0;
    report.match = &match;
    report.evidence = &evidence;
    report.parentRunning = IsParentRunning(scan, parentProcessId, &evidence, parentName, MAX_PATH);
    report.parentName = parentName;
    PrintShellObject(&report);
    scan->summary.shells++;
}

static void ScanProcessesAsJson(void)
{
    static WCHAR host[HOST_NAME_CHARS];
    DWORD hostChars = HOST_NAME_CHARS;
    JSON_SCAN scan;
    memset(&scan, 0, sizeof(scan));
    GetSystemTimeAsFileTime(&scan.summary.started);
    scan.host = GetComputerNameExW(ComputerNameDnsHostname, host, &hostChars) ? host : NULL;
    scan.summary.host = scan.host;
    scan.ownProcessId = GetCurrentProcessId();
    scan.summary.foundElevated = QueryOwnElevation(&scan.summary.elevated);
    scan.summary.foundDebugPrivilege = QueryOwnDebugPrivilege(&scan.summary.debugPrivilege);

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        scan.summary.errorCall = "CreateToolhelp32Snapshot";
        scan.summary.errorCode = GetLastError();
        PrintScanObject(&scan.summary);
        return;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot, &entry)) {
        scan.summary.errorCall = "Process32First";
        scan.summary.errorCode = GetLastError();
        CloseHandle(snapshot);
        PrintScanObject(&scan.summary);
        return;
    }

    DWORD capacity = SnapshotTableCapacity < SNAPSHOT_TABLE_ENTRIES ? SnapshotTableCapacity : SNAPSHOT_TABLE_ENTRIES;
    BOOL more = TRUE;
    while (more && scan.tableEntries < capacity) {
        SNAPSHOT_ENTRY* copy = &SnapshotTable[scan.tableEntries++];
        copy->processId = entry.th32ProcessID;
        copy->parentProcessId = entry.th32ParentProcessID;
        CopyWideText(copy->name, MAX_PATH, entry.szExeFile, MAX_PATH);
        more = Process32NextW(snapshot, &entry);
    }
    scan.tableTruncated = more ? 1 : 0;
    for (DWORD index = 0; index < scan.tableEntries; index++)
        ReportIfShell(&scan, SnapshotTable[index].processId, SnapshotTable[index].parentProcessId,
                      SnapshotTable[index].name);
    while (more) {
        entry.szExeFile[MAX_PATH - 1] = 0;
        ReportIfShell(&scan, entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile);
        more = Process32NextW(snapshot, &entry);
    }
    CloseHandle(snapshot);
    PrintScanObject(&scan.summary);
}

void ScanProcesses(int mode)
{
    if (mode == OUTPUT_JSON) {
        ScanProcessesAsJson();
        return;
    }
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
}
