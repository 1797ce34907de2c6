// -j: one walk over the system's process list. A process is named, dated and
// placed in its session by the list itself, so that nothing needs opening to
// tell whether a shell's parent still runs; only the processes tested for a
// prompt entry, and a running parent for its image path, are opened.
#include "jsonscan.h"

#include <stdio.h>
#include <string.h>

#include "consolehost.h"
#include "environment.h"
#include "evidence.h"
#include "signs.h"

OpenProcessFunction OpenListedProcessEntry = OpenProcessForRead;
QueryProcessInformationFunction QueryProtectionEntry = QueryProcessInformation;
OutputGoneFunction IsOutputGoneEntry = IsOutputReaderGone;

// Big enough to live outside the stack; one shell is examined at a time.
static PROMPT_MATCH Match;
static SHELL_EVIDENCE Evidence;
static SHELL_CONNECTIONS Connections;
static IMAGE_IDENTITY Identity;
static SHELL_FAMILY Family;
static SHELL_WINDOW Window;
static WCHAR ParentPath[IMAGE_PATH_CHARS];
static SHELL_CONSOLE_HOST ConsoleHost;
static WCHAR ConsoleOwnerPath[IMAGE_PATH_CHARS];

void BeginJsonScan(JSON_SCAN* scan, const RUN_FACTS* facts)
{
    DWORD hostChars = HOST_NAME_CHARS;
    memset(&scan->summary, 0, sizeof(scan->summary));
    GetSystemTimeAsFileTime(&scan->summary.started);
    ForgetLogonSessions();
    scan->summary.host = GetComputerNameExW(ComputerNameDnsHostname, scan->hostName, &hostChars) ? scan->hostName
                                                                                                  : NULL;
    scan->ownProcessId = GetCurrentProcessId();
    scan->outputFailed = 0;
    scan->waitForPrompt = 0;
    scan->listTime = 0;
    scan->tablesAsked = 0;
    scan->windowsAsked = 0;
    scan->windows.read = 0;
    scan->windows.windows = NULL;
    scan->windows.capacity = 0;
    scan->list.records = NULL;
    scan->list.bytes = 0;
    scan->pipesListed = 0;
    scan->pipesListedAt = 0;
    scan->pipes.read = 0;
    scan->pipes.count = 0;
    scan->pipes.capacity = 0;
    scan->pipes.pipes = NULL;
    scan->summary.version = facts->version;
    scan->summary.foundElevated = facts->foundElevated;
    scan->summary.elevated = facts->elevated;
    scan->summary.foundDebugPrivilege = facts->foundDebugPrivilege;
    scan->summary.debugPrivilege = facts->debugPrivilege;
}

int ReadJsonScanList(JSON_SCAN* scan, int* pipesListed)
{
    LONG status = 0;
    FILETIME now;
    scan->tablesAsked = 0;
    scan->windowsAsked = 0;
    *pipesListed = 0;
    GetSystemTimeAsFileTime(&now);
    scan->listTime = (ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime;
    if (ReadProcessList(&scan->list, &status)) {
        // The pipes of the hosts, once per scan; a watch's at most once a
        // second, whose polls come ten times as often.
        ULONGLONG tick = GetTickCount64();
        if (!scan->pipesListed || tick - scan->pipesListedAt >= PIPES_LIST_MILLISECONDS) {
            scan->summary.foundEnginePipes = ReadEnginePipes(&scan->pipes);
            scan->pipesListed = 1;
            scan->pipesListedAt = tick;
            *pipesListed = 1;
        }
        return 1;
    }
    scan->summary.errorCall = "NtQuerySystemInformation";
    scan->summary.errorCode = (DWORD)status;
    return 0;
}

// A running process's image path, from a process that is still the one
// listed, into path (IMAGE_PATH_CHARS); NULL otherwise.
static const WCHAR* ReadListedPath(const LISTED_PROCESS* listed, WCHAR* path)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, listed->processId);
    if (process == NULL)
        return NULL;
    int found = IsHandleOfListedProcess(process, listed) && QueryImagePath(process, path, IMAGE_PATH_CHARS);
    CloseHandle(process);
    return found ? path : NULL;
}

// 1 when a process that refused reading opens for the limited query and
// reports a protection type: the system keeps its memory from everyone.
static int IsProtectedProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    BYTE protection = 0;
    DWORD returned = 0;
    int isProtected = QueryProtectionEntry(process, PROCESS_PROTECTION_INFORMATION, &protection,
                                           sizeof(protection), &returned) == 0 &&
                      (protection & PROTECTION_TYPE_MASK) != 0;
    CloseHandle(process);
    return isProtected;
}

int IsOutputReaderGone(void)
{
    // Only a pipe's reader can go; a file or a console stays. The write end
    // of a pipe may not read it, so PeekNamedPipe is refused whether or not
    // the reader lives: a write of no bytes asks instead.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (GetFileType(output) != FILE_TYPE_PIPE || WriteFile(output, "", 0, &written, NULL))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
}

void FlushJsonLine(JSON_SCAN* scan)
{
    if (scan->flushEachLine && (fflush(stdout) != 0 || ferror(stdout)))
        scan->outputFailed = 1;
}

int IsStartingProcess(const JSON_SCAN* scan, ULONGLONG created)
{
    // Within the start-up time on either side of the list's own time: a
    // process created after it (a clock stepped back) is young only while
    // it is that close, not for as long as the clock stays behind.
    const ULONGLONG START = SHELL_START_MILLISECONDS * FILETIME_UNITS_PER_MILLISECOND;
    if (created == 0)
        return 0;
    return created > scan->listTime ? created - scan->listTime < START : scan->listTime - created < START;
}

// A process with an engine pipe and no interpreter of its own is a host of
// the PowerShell engine.
static void NameEngineHost(IMAGE_IDENTITY* identity, const ENGINE_PIPE* pipe)
{
    if (pipe != NULL && identity->interpreter == NULL)
        identity->interpreter = "powershell-host";
}

// Prints the shell object of a listed process: with what its shell test and
// evidence read when it was opened, from the list alone when not.
static void ReportShell(JSON_SCAN* scan, const LISTED_PROCESS* process, int opened, int answer, DWORD consoleHost,
                        const ENGINE_PIPE* pipe)
{
    SHELL_REPORT report;
    LISTED_PROCESS parent;
    memset(&report, 0, sizeof(report));
    report.host = scan->summary.host;
    report.process = process;
    report.wow64 = Match.peb32 != 0;
    report.match = opened ? &Match : NULL;
    report.evidence = opened ? &Evidence : NULL;
    report.promptAnswer = answer;
    report.identity = &Identity;
    report.enginePipe = pipe;
    if (pipe != NULL)
        scan->summary.enginePipes++;
    report.starting = IsStartingProcess(scan, process->created);

    if (!FindListedProcess(&scan->list, process->parentProcessId, &parent))
        report.parentState = PARENT_GONE;
    else if (parent.created == 0 || process->created == 0)
        report.parentState = PARENT_UNKNOWN;
    else
        report.parentState = parent.created <= process->created ? PARENT_RUNNING : PARENT_GONE;
    if (report.parentState == PARENT_RUNNING) {
        report.parent = &parent;
        report.parentPath = ReadListedPath(&parent, ParentPath);
    }
    CollectShellFamily(&scan->list, process, report.parent, scan->ownProcessId, &Family);
    report.family = &Family;

    // The tables are read at the first shell of a list, and only then.
    if (!scan->tablesAsked) {
        ReadTcpTables(&scan->tables);
        scan->tablesAsked = 1;
    }
    if (scan->tables.read) {
        CollectConnections(&scan->tables, process->processId, report.parentState == PARENT_RUNNING,
                           process->parentProcessId, &Connections);
        report.connections = &Connections;
    }
    // So are the console windows: a poll without a shell to print reads none.
    // The tool's own session is the list's record of it.
    LISTED_PROCESS own;
    if (!scan->windowsAsked) {
        scan->windows.read = 0;
        if (FindListedProcess(&scan->list, scan->ownProcessId, &own))
            ReadWindowList(&scan->windows, own.session);
        scan->windowsAsked = 1;
    }
    int consoleHandle = !opened || !Evidence.foundWindowFlags ? CONSOLE_HANDLE_UNKNOWN
                        : Evidence.consoleHandle == 0      ? CONSOLE_HANDLE_NONE
                                                           : CONSOLE_HANDLE_SET;
    FindShellWindow(scan->windows.read ? &scan->windows : NULL, &scan->list, process, report.parent, &Family,
                    consoleHandle, &Window);
    report.window = &Window;
    FindConsoleHost(&scan->list, process, consoleHost, &ConsoleHost);
    report.consoleHost = &ConsoleHost;
    if (ConsoleHost.foundOwner)
        report.consoleOwnerPath = ReadListedPath(&ConsoleHost.owner, ConsoleOwnerPath);
    NameShellSigns(&report);
    PrintShellObject(&report);
    FlushJsonLine(scan);
}

int ExamineListedProcess(JSON_SCAN* scan, const LISTED_PROCESS* process, int* listed)
{
    *listed = 0;
    // The Idle process is no process: it has no memory to read.
    if (process->processId == scan->ownProcessId || process->processId == 0)
        return PROMPT_SKIPPED;
    HANDLE handle = OpenListedProcessEntry(process->processId);
    // No process has the id any more: it ended after the list was read.
    if (handle == NULL && GetLastError() == ERROR_INVALID_PARAMETER)
        return PROMPT_SKIPPED;
    // A host of the PowerShell engine names itself by its pipe, whatever its
    // image: that alone makes it an interpreter.
    const ENGINE_PIPE* pipe = FindEnginePipe(&scan->pipes, process);
    if (handle == NULL) {
        int answer = IsProtectedProcess(process->processId) ? PROMPT_PROTECTED : PROMPT_UNREADABLE;
        // An interpreter is listed even so, from what the list says of it.
        Identity.foundOriginalName = 0;
        NameInterpreter(&Identity, process->name, process->nameChars);
        NameEngineHost(&Identity, pipe);
        if (Identity.interpreter != NULL) {
            *listed = 1;
            ReportShell(scan, process, 0, answer, 0, pipe);
        }
        return answer;
    }
    if (!IsHandleOfListedProcess(handle, process)) {
        CloseHandle(handle);
        return PROMPT_SKIPPED;
    }
    // The image is read through the shell test's own handle, from the PEB
    // the test read; the evidence from the records the test found.
    int answer = TestProcessEnvironment(handle, &Match);
    ReadImageOriginalName(handle, Match.imageBase, &Identity);
    NameInterpreter(&Identity, process->name, process->nameChars);
    NameEngineHost(&Identity, pipe);
    *listed = answer == PROMPT_FOUND || Identity.interpreter != NULL;
    // cmd.exe sets its prompt entry as it starts: a watch looks again on
    // its next poll rather than list one caught before it did.
    if (scan->waitForPrompt && answer == PROMPT_ABSENT && Identity.interpreter != NULL &&
        strcmp(Identity.interpreter, "cmd") == 0 && IsStartingProcess(scan, process->created))
        *listed = 0;
    // The system names a listed shell's console host through the same handle.
    DWORD consoleHost = 0;
    if (*listed) {
        ReadShellEvidence(handle, &Match, &Evidence);
        consoleHost = QueryConsoleHostProcess(handle);
    }
    CloseHandle(handle);
    if (*listed)
        ReportShell(scan, process, 1, answer, consoleHost, pipe);
    return answer;
}

void CountUnreadProcess(JSON_SCAN* scan, int answer)
{
    if (answer == PROMPT_UNREADABLE)
        scan->summary.unreadable++;
    if (answer == PROMPT_PROTECTED)
        scan->summary.protectedProcesses++;
}

int FinishJsonOutput(JSON_SCAN* scan, int status)
{
    if (fflush(stdout) != 0 || ferror(stdout) || scan->outputFailed)
        return JSON_STATUS_NOT_WRITTEN;
    return status;
}

int ScanProcessesAsJson(const RUN_FACTS* facts)
{
    static JSON_SCAN scan;
    BeginJsonScan(&scan, facts);
    int pipesListed = 0;
    if (!ReadJsonScanList(&scan, &pipesListed)) {
        PrintScanObject(&scan.summary);
        return FinishJsonOutput(&scan, JSON_STATUS_NO_LIST);
    }
    LISTED_PROCESS process;
    DWORD position = 0;
    while (NextListedProcess(&scan.list, &position, &process)) {
        int listed = 0;
        int answer = ExamineListedProcess(&scan, &process, &listed);
        if (answer == PROMPT_SKIPPED)
            continue;
        scan.summary.processes++;
        CountUnreadProcess(&scan, answer);
        if (listed)
            scan.summary.shells++;
    }
    PrintScanObject(&scan.summary);
    return FinishJsonOutput(&scan, JSON_STATUS_DONE);
}
