// Everything a scan prints: the scan header and the records of the block,
// line and XML layouts in console colours, and the JSON Lines objects, which
// carry neither colour nor any other text.
#include "report.h"

#include <stdio.h>
#include <wchar.h>

#include "jsontext.h"
#include "signs.h"
#include "text.h"
#include "textcolour.h"

static int HeaderPending = 1;

static const char UNDERSCORES[] = "________________________________________________________________";
static const char HYPHENS[] = "----------------------------------------------------------------";

void ReplaceControlCharacters(char* text)
{
    for (; *text != '\0'; text++)
        if ((unsigned char)*text < 0x20 || *text == 0x7F)
            *text = '?';
}

// A bounded copy of a field, ready to print.
static void CopyPrintable(char* destination, DWORD capacity, const char* source)
{
    CopyText(destination, capacity, source);
    ReplaceControlCharacters(destination);
}

void PrintProcessRecord(int mode, DWORD processId, DWORD parentProcessId, const char* userName,
                        const char* processName, const char* processPath)
{
    char user[FIELD_BUFFER_BYTES];
    char name[FIELD_BUFFER_BYTES];
    char path[FIELD_BUFFER_BYTES];
    CopyPrintable(user, sizeof(user), userName);
    CopyPrintable(name, sizeof(name), processName);
    CopyPrintable(path, sizeof(path), processPath);

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
               parentId, name, user, path);
    } else if (mode == OUTPUT_XML) {
        printf("\n\n\n <Cmd_Process>");
        printf("\n    <Process_ID> %d </Process_ID>", id);
        printf("\n    <Parent_Process_ID> %d </Parent_Process_ID>", parentId);
        printf("\n    <Process_Name> %s </Process_Name>", name);
        printf("\n    <User_Name> %s </User_Name>", user);
        printf("\n    <Process_Path> %s </Process_Path>", path);
        printf("\n </Cmd_Process>");
    } else {
        printf("\n\n\n\tProcess ID:          %-d", id);
        printf("\n\n\tParent Process ID:   %-d", parentId);
        printf("\n\n\tProcess Name:        %s", name);
        printf("\n\n\tUser Name:           %s", user);
        printf("\n\n\tProcess Path:        %s", path);
    }
    printf("\n\n%s", HYPHENS);
}

void PrintScanEnd(int records)
{
    if (records == 0) {
        SetTextColor(COLOR_GREEN);
        printf("\n\n\t No Command-prompt oriented Processes found on your system");
    }
    printf("\n\n");
}

void PrintJsonText(const WCHAR* text, size_t characters)
{
    putchar('"');
    size_t index = 0;
    while (index < characters) {
        char piece[JSON_PIECE_BYTES];
        size_t taken = 1;
        size_t bytes = EncodeJsonPiece(text[index], index + 1 < characters ? text[index + 1] : 0, piece, &taken);
        fwrite(piece, 1, bytes, stdout);
        index += taken;
    }
    putchar('"');
}

// A terminated text of at most capacity characters, or null.
static void PrintJsonTextOrNull(const WCHAR* text, size_t capacity)
{
    if (text == NULL)
        printf("null");
    else
        PrintJsonText(text, wcsnlen(text, capacity));
}

static void PrintJsonRemoteText(const REMOTE_TEXT* text)
{
    if (text != NULL && text->found)
        PrintJsonText(text->text, text->chars);
    else
        printf("null");
}

static void PrintJsonTime(int found, const FILETIME* time)
{
    SYSTEMTIME utc;
    if (!found || !FileTimeToSystemTime(time, &utc)) {
        printf("null");
        return;
    }
    printf("\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
           utc.wSecond, utc.wMilliseconds);
}

static void PrintJsonBoolean(int found, int value)
{
    printf(!found ? "null" : (value ? "true" : "false"));
}

// The integrity level's name for the last sub-authority of a label SID.
static const char* NameIntegrityLevel(DWORD level)
{
    if (level < 0x1000)
        return "untrusted";
    if (level < 0x2000)
        return "low";
    if (level < 0x3000)
        return "medium";
    if (level < 0x4000)
        return "high";
    if (level < 0x5000)
        return "system";
    return "protected";
}

static void PrintJsonListedTime(ULONGLONG created)
{
    FILETIME time;
    time.dwLowDateTime = (DWORD)created;
    time.dwHighDateTime = (DWORD)(created >> 32);
    PrintJsonTime(created != 0, &time);
}

// Processes of the list as [{"pid":…,"name":…,"started":…},…].
static void PrintJsonProcesses(const LISTED_PROCESS* processes, DWORD count)
{
    putchar('[');
    for (DWORD index = 0; index < count; index++) {
        printf("%s{\"pid\":%lu,\"name\":", index == 0 ? "" : ",", (unsigned long)processes[index].processId);
        PrintJsonText(processes[index].name, processes[index].nameChars);
        printf(",\"started\":");
        PrintJsonListedTime(processes[index].created);
        putchar('}');
    }
    putchar(']');
}

static void PrintJsonConnections(const SHELL_CONNECTIONS* connections)
{
    if (connections == NULL) {
        printf(",\"connections\":null,\"connections_cut\":null");
        return;
    }
    printf(",\"connections\":[");
    for (DWORD index = 0; index < connections->count; index++) {
        const SHELL_CONNECTION* row = &connections->rows[index];
        char local[64];
        char remote[64];
        FormatAddress(row->ipv6, row->localAddress, row->localScopeId, local, sizeof(local));
        FormatAddress(row->ipv6, row->remoteAddress, row->remoteScopeId, remote, sizeof(remote));
        const char* state = NameTcpState(row->state);
        printf("%s{\"owner\":\"%s\",\"pid\":%lu,\"local\":\"%s%s%s:%u\",\"remote\":\"%s%s%s:%u\",\"state\":",
               index == 0 ? "" : ",", row->ownedByParent ? "parent" : "shell", (unsigned long)row->processId,
               row->ipv6 ? "[" : "", local, row->ipv6 ? "]" : "", row->localPort, row->ipv6 ? "[" : "", remote,
               row->ipv6 ? "]" : "", row->remotePort);
        if (state != NULL)
            printf("\"%s\"}", state);
        else
            printf("null}");
    }
    printf("],\"connections_cut\":%s", connections->cut ? "true" : "false");
}

// {"id":…,"type":…,"package":…,"server":…,"started":…,"elevation":…}, or
// null when the token's statistics could not be read.
static void PrintJsonLogon(const SHELL_EVIDENCE* evidence)
{
    static const char* const ELEVATIONS[] = {NULL, "default", "full", "limited"};
    if (evidence == NULL || !evidence->foundLogonId) {
        printf("null");
        return;
    }
    const LOGON_SESSION* session = evidence->logon;
    printf("{\"id\":\"0x%llx\",\"type\":",
           (unsigned long long)((ULONGLONG)(DWORD)evidence->logonId.HighPart << 32 | evidence->logonId.LowPart));
    const char* type = session != NULL && session->found ? NameLogonType(session->type) : NULL;
    if (type != NULL)
        printf("\"%s\"", type);
    else
        printf("null");
    printf(",\"package\":");
    PrintJsonTextOrNull(session != NULL && session->foundPackage ? session->package : NULL, LOGON_TEXT_CHARS);
    printf(",\"server\":");
    PrintJsonTextOrNull(session != NULL && session->foundServer ? session->server : NULL, LOGON_TEXT_CHARS);
    printf(",\"started\":");
    PrintJsonListedTime(session != NULL ? session->started : 0);
    DWORD elevation = evidence->elevationType;
    if (evidence->foundElevationType && elevation < sizeof(ELEVATIONS) / sizeof(ELEVATIONS[0]) &&
        ELEVATIONS[elevation] != NULL)
        printf(",\"elevation\":\"%s\"}", ELEVATIONS[elevation]);
    else
        printf(",\"elevation\":null}");
}

// {"state":…,"handle":…,"class":…,"via":…,"owner_pid":…,"desktop":…,
// "requested_desktop":…}, or null where nothing was looked at.
static void PrintJsonWindow(const SHELL_WINDOW* window, const SHELL_EVIDENCE* evidence)
{
    if (window == NULL) {
        printf("null");
        return;
    }
    printf("{\"state\":\"%s\",\"handle\":", window->state);
    if (window->found)
        printf("\"0x%llx\",\"class\":\"%s\",\"via\":\"%s\",\"owner_pid\":%lu,\"desktop\":",
               (unsigned long long)(ULONG_PTR)window->window, window->className, window->via,
               (unsigned long)window->ownerProcessId);
    else
        printf("null,\"class\":null,\"via\":null,\"owner_pid\":null,\"desktop\":");
    PrintJsonTextOrNull(window->found ? window->desktop : NULL, DESKTOP_NAME_CHARS);
    printf(",\"requested_desktop\":");
    PrintJsonRemoteText(evidence != NULL ? &evidence->desktopInfo : NULL);
    putchar('}');
}

// {"pid":…,"name":…,"mode":…,"command_line":…,"owner":{…}|null}, or null.
static void PrintJsonConsoleHost(const SHELL_CONSOLE_HOST* host, const WCHAR* ownerPath)
{
    if (host == NULL || !host->found) {
        printf("null");
        return;
    }
    printf("{\"pid\":%lu,\"name\":", (unsigned long)host->host.processId);
    PrintJsonText(host->host.name, host->host.nameChars);
    printf(",\"mode\":\"%s\",\"command_line\":", host->mode);
    PrintJsonRemoteText(&host->commandLine);
    printf(",\"owner\":");
    if (host->foundOwner) {
        printf("{\"pid\":%lu,\"name\":", (unsigned long)host->owner.processId);
        PrintJsonText(host->owner.name, host->owner.nameChars);
        printf(",\"path\":");
        PrintJsonTextOrNull(ownerPath, IMAGE_PATH_CHARS);
        putchar('}');
    } else {
        printf("null");
    }
    putchar('}');
}

void PrintShellObject(const SHELL_REPORT* report)
{
    const SHELL_EVIDENCE* evidence = report->evidence;
    const LISTED_PROCESS* process = report->process;
    const IMAGE_IDENTITY* identity = report->identity;
    int read = evidence != NULL;

    printf("{\"type\":\"shell\",\"host\":");
    PrintJsonTextOrNull(report->host, MAX_PATH);
    printf(",\"pid\":%lu,\"ppid\":%lu,\"name\":", (unsigned long)process->processId,
           (unsigned long)process->parentProcessId);
    PrintJsonText(process->name, process->nameChars);
    printf(",\"wow64\":");
    PrintJsonBoolean(report->match != NULL, report->wow64);
    printf(",\"user\":");
    PrintJsonTextOrNull(read && evidence->owner.foundAccount ? evidence->owner.user : NULL, ACCOUNT_TEXT_CHARS);
    printf(",\"domain\":");
    PrintJsonTextOrNull(read && evidence->owner.foundAccount ? evidence->owner.domain : NULL, ACCOUNT_TEXT_CHARS);
    printf(",\"sid\":");
    PrintJsonTextOrNull(read && evidence->owner.foundSid ? evidence->owner.sid : NULL, SID_TEXT_CHARS);
    if (read && evidence->foundIntegrity)
        printf(",\"integrity\":\"%s\"", NameIntegrityLevel(evidence->integrity));
    else
        printf(",\"integrity\":null");
    printf(",\"logon\":");
    PrintJsonLogon(read ? evidence : NULL);
    printf(",\"path\":");
    PrintJsonTextOrNull(read && evidence->foundPath ? evidence->path : NULL, IMAGE_PATH_CHARS);
    printf(",\"command_line\":");
    PrintJsonRemoteText(read ? &evidence->commandLine : NULL);
    printf(",\"current_directory\":");
    PrintJsonRemoteText(read ? &evidence->currentDirectory : NULL);
    printf(",\"prompt_entry\":");
    if (report->match != NULL && report->promptAnswer == PROMPT_FOUND)
        PrintJsonText(report->match->entry, report->match->entryChars);
    else
        printf("null");
    if (identity->interpreter != NULL)
        printf(",\"interpreter\":\"%s\"", identity->interpreter);
    else
        printf(",\"interpreter\":null");
    printf(",\"original_name\":");
    PrintJsonTextOrNull(identity->foundOriginalName ? identity->originalName : NULL, ORIGINAL_NAME_CHARS + 1);
    printf(",\"engine_pipe\":");
    PrintJsonTextOrNull(report->enginePipe != NULL ? report->enginePipe->name : NULL, ENGINE_PIPE_NAME_CHARS + 1);
    printf(",\"session\":%lu,\"started\":", (unsigned long)process->session);
    PrintJsonListedTime(process->created);
    printf(",\"parent\":{\"pid\":%lu,\"name\":", (unsigned long)process->parentProcessId);
    if (report->parent != NULL)
        PrintJsonText(report->parent->name, report->parent->nameChars);
    else
        printf("null");
    printf(",\"path\":");
    PrintJsonTextOrNull(report->parentPath, IMAGE_PATH_CHARS);
    printf(",\"running\":%s}", report->parentState == PARENT_UNKNOWN
                                    ? "null"
                                    : (report->parentState == PARENT_RUNNING ? "true" : "false"));
    printf(",\"ancestors\":");
    PrintJsonProcesses(report->family->ancestors, report->family->ancestorCount);
    printf(",\"started_hidden\":");
    PrintJsonBoolean(read && evidence->foundWindowFlags, WasStartedHidden(evidence));
    printf(",\"redirected_stdio\":");
    PrintJsonBoolean(read && evidence->foundWindowFlags, HasRedirectedStdio(evidence));
    printf(",\"stdio_one_handle\":");
    PrintJsonBoolean(read && evidence->foundWindowFlags, HasOneStdioHandle(evidence));
    printf(",\"window\":");
    PrintJsonWindow(report->window, evidence);
    printf(",\"console_host\":");
    PrintJsonConsoleHost(report->consoleHost, report->consoleOwnerPath);
    PrintJsonConnections(report->connections);
    printf(",\"children\":");
    PrintJsonProcesses(report->family->children, report->family->childCount);
    printf(",\"children_cut\":%s", report->family->childrenCut ? "true" : "false");
    printf(",\"signs\":[");
    for (int index = 0; index < report->signCount; index++)
        printf(index == 0 ? "\"%s\"" : ",\"%s\"", report->signs[index]);
    printf("]}\n");
}

void PrintScanObject(const SCAN_REPORT* report)
{
    printf("{\"type\":\"scan\",\"host\":");
    PrintJsonTextOrNull(report->host, MAX_PATH);
    printf(",\"version\":\"%s\",\"started\":", report->version);
    PrintJsonTime(1, &report->started);
    printf(",\"elevated\":");
    PrintJsonBoolean(report->foundElevated, report->elevated);
    printf(",\"debug_privilege\":");
    PrintJsonBoolean(report->foundDebugPrivilege, report->debugPrivilege);
    printf(",\"processes\":%lu,\"unreadable\":%lu,\"protected\":%lu,\"shells\":%lu,\"engine_pipes\":",
           (unsigned long)report->processes, (unsigned long)report->unreadable,
           (unsigned long)report->protectedProcesses, (unsigned long)report->shells);
    if (report->foundEnginePipes)
        printf("%lu", (unsigned long)report->enginePipes);
    else
        printf("null");
    printf(",\"error\":");
    if (report->errorCall == NULL)
        printf("null");
    else
        printf("{\"call\":\"%s\",\"code\":%lu}", report->errorCall, (unsigned long)report->errorCode);
    if (report->watched) {
        printf(",\"ended\":");
        PrintJsonTime(1, &report->ended);
    }
    printf("}\n");
}

void PrintEndedObject(const ENDED_REPORT* report)
{
    printf("{\"type\":\"ended\",\"host\":");
    PrintJsonTextOrNull(report->host, MAX_PATH);
    printf(",\"pid\":%lu,\"name\":", (unsigned long)report->processId);
    PrintJsonText(report->name, report->nameChars);
    printf(",\"started\":");
    PrintJsonListedTime(report->created);
    printf(",\"ended\":");
    PrintJsonTime(1, &report->ended);
    printf("}\n");
}
