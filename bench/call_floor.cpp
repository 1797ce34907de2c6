// The call floor: exactly the system calls the tool cannot do without, and
// nothing else. For every process but our own: the shell test's open, basic
// information, PEB, process parameters and environment reads (the block's
// first 64 KiB, and the rest of its region up to 16 MiB only when the block
// runs on past them, as the tool reads it), the
// ProcessWow64Information query (never a WOW64 process under Wine, so never
// the 32-bit reads) and close; for each process with a prompt entry: the
// owner, the IsWow64Process check, and the image path from the system's own
// record (limited-query open, GetExitCodeProcess,
// QueryFullProcessImageNameA, close). NtQueryInformationProcess is looked up
// once, as the tool does. It prints nothing (see floor_clock.h for "-r").
//
// "-p" adds a profile on standard error: for each kind of call its count and
// its summed time, to show where a scan's time goes. "-e" adds the work the
// tool does per process beyond the floor (copying the matching entry out),
// so that a profile shows what that work costs; for each listed process it
// also flushes standard output and sets the console colour on it as the
// tool's record printer does, which with output redirected prints nothing.
// "-t" adds what -j adds once per scan that finds a shell: the IPv4 and IPv6
// TCP tables, read as the tool reads them. "-w SECONDS" is the floor of the
// watch instead: the process list read every 100 ms for that long, and
// nothing else.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include "envblock.h"
#include "floor_clock.h"
#include "processlist.h"
#include "tcptable.h"
#include "text.h"

#define READ_ACCESS (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)
#define ENVIRONMENT_BYTES 65536
#define ENVIRONMENT_CEILING_BYTES (16u * 1024 * 1024)
#define BASIC_BYTES 48
#define BASIC_PEB_OFFSET 8
#define PEB_BYTES 712
#define PEB_PARAMETERS_OFFSET 0x20
#define PARAMETERS_BYTES 144
#define PARAMETERS_ENVIRONMENT_OFFSET 0x80
#define WOW64_INFORMATION_CLASS 26
#define TOKEN_USER_BUFFER_BYTES 1000
#define NAME_CHARS 260
#define IMAGE_PATH_BYTES 32768  // as the tool's path buffer

typedef LONG(NTAPI* QueryFunction)(HANDLE process, ULONG informationClass, PVOID buffer, ULONG length,
                                   PULONG returnLength);

enum CallKind {
    CALL_SNAPSHOT,
    CALL_SNAPSHOT_NEXT,
    CALL_OPEN_READ,
    CALL_BASIC,
    CALL_READ_PEB,
    CALL_QUERY_PARAMETERS,
    CALL_READ_PARAMETERS,
    CALL_QUERY_ENVIRONMENT,
    CALL_READ_ENVIRONMENT,
    CALL_WOW64_INFORMATION,
    CALL_CLOSE_READ,
    CALL_BLOCK_WALK,
    CALL_OWNER,
    CALL_ACCOUNT,
    CALL_IS_WOW64,
    CALL_IMAGE_PATH,
    CALL_EXTRA_ENTRY_COPY,
    CALL_EXTRA_COLOUR,
    CALL_TCP_TABLES,
    CALL_KINDS
};

static const char* const CALL_NAMES[CALL_KINDS] = {
    "process_snapshot",  "process_next",      "open_read",        "basic_information", "read_peb",
    "query_parameters",  "read_parameters",   "query_environment", "read_environment", "wow64_information",
    "close_read",        "block_walk",        "owner_token",      "account_lookup",    "is_wow64_process",
    "image_path",        "extra_entry_copy",  "extra_colour",      "tcp_tables"};

static int Profiling = 0;
static int ToolExtras = 0;
static double CallMicroseconds[CALL_KINDS];
static DWORD CallCounts[CALL_KINDS];
static QueryFunction QueryInformation = NULL;
// Grown to the longest block met, as the tool's own buffer.
static unsigned char* Environment = NULL;
static SIZE_T EnvironmentBytes = 0;
static WCHAR PromptEntry[ENVIRONMENT_BYTES / sizeof(WCHAR) + 1];

static int GrowEnvironment(SIZE_T bytes)
{
    if (bytes <= EnvironmentBytes)
        return 1;
    void* grown = Environment == NULL ? HeapAlloc(GetProcessHeap(), 0, bytes)
                                      : HeapReAlloc(GetProcessHeap(), 0, Environment, bytes);
    if (grown == NULL)
        return 0;
    Environment = (unsigned char*)grown;
    EnvironmentBytes = bytes;
    return 1;
}

static LARGE_INTEGER MarkCall(void)
{
    LARGE_INTEGER mark;
    mark.QuadPart = 0;
    if (Profiling)
        mark = ReadClock();
    return mark;
}

static void CountCall(int kind, LARGE_INTEGER mark)
{
    if (!Profiling)
        return;
    CallMicroseconds[kind] += MicrosecondsSince(mark);
    CallCounts[kind]++;
}

static ULONG_PTR PointerAt(const unsigned char* image, size_t offset)
{
    ULONG_PTR value = 0;
    memcpy(&value, image + offset, sizeof(value));
    return value;
}

// Bytes readable from address to the end of its region, 0 when none.
static SIZE_T ReadableBytes(HANDLE process, const void* address, int kind)
{
    MEMORY_BASIC_INFORMATION region;
    LARGE_INTEGER mark = MarkCall();
    SIZE_T answered = VirtualQueryEx(process, address, &region, sizeof(region));
    CountCall(kind, mark);
    if (answered != sizeof(region) || region.State != MEM_COMMIT || (region.Protect & PAGE_GUARD) != 0 ||
        region.Protect == PAGE_NOACCESS || region.Protect == PAGE_EXECUTE)
        return 0;
    ULONG_PTR end = (ULONG_PTR)region.BaseAddress + region.RegionSize;
    return end > (ULONG_PTR)address ? end - (ULONG_PTR)address : 0;
}

// The shell test: answers the number of environment bytes read (0 when a
// step failed).
static SIZE_T ReadEnvironment(HANDLE process)
{
    unsigned char basic[BASIC_BYTES];
    ULONG returned = 0;
    LARGE_INTEGER mark = MarkCall();
    LONG status = QueryInformation(process, 0, basic, BASIC_BYTES, &returned);
    CountCall(CALL_BASIC, mark);
    if (status != 0)
        return 0;

    unsigned char peb[PEB_BYTES];
    mark = MarkCall();
    BOOL read = ReadProcessMemory(process, (const void*)PointerAt(basic, BASIC_PEB_OFFSET), peb, sizeof(peb), NULL);
    CountCall(CALL_READ_PEB, mark);
    if (!read)
        return 0;

    const void* parameters = (const void*)PointerAt(peb, PEB_PARAMETERS_OFFSET);
    if (ReadableBytes(process, parameters, CALL_QUERY_PARAMETERS) == 0)
        return 0;
    unsigned char parametersImage[PARAMETERS_BYTES];
    mark = MarkCall();
    read = ReadProcessMemory(process, parameters, parametersImage, sizeof(parametersImage), NULL);
    CountCall(CALL_READ_PARAMETERS, mark);
    if (!read)
        return 0;

    const void* environment = (const void*)PointerAt(parametersImage, PARAMETERS_ENVIRONMENT_OFFSET);
    SIZE_T size = ReadableBytes(process, environment, CALL_QUERY_ENVIRONMENT);
    if (size == 0)
        return 0;
    SIZE_T first = size < ENVIRONMENT_BYTES ? size : ENVIRONMENT_BYTES;
    SIZE_T copied = 0;
    mark = MarkCall();
    read = ReadProcessMemory(process, environment, Environment, first, &copied);
    CountCall(CALL_READ_ENVIRONMENT, mark);
    if (!read)
        return 0;
    size_t start = 0;
    size_t length = 0;
    int walked = WalkEnvironmentBlock((const ENV_CHAR*)Environment, copied / sizeof(ENV_CHAR), &start, &length);
    if (first == size || (walked == BLOCK_NO_PROMPT) ||
        (walked == BLOCK_PROMPT && start + length < copied / sizeof(ENV_CHAR)))
        return copied;
    SIZE_T whole = size < ENVIRONMENT_CEILING_BYTES ? size : ENVIRONMENT_CEILING_BYTES;
    SIZE_T more = 0;
    if (!GrowEnvironment(whole))
        return copied;
    mark = MarkCall();
    read = ReadProcessMemory(process, (const unsigned char*)environment + first, Environment + first, whole - first,
                             &more);
    CountCall(CALL_READ_ENVIRONMENT, mark);
    return read ? first + more : copied;
}

static int HasPromptEntry(DWORD processId, FloorCounts* counts)
{
    LARGE_INTEGER mark = MarkCall();
    HANDLE process = OpenProcess(READ_ACCESS, FALSE, processId);
    CountCall(CALL_OPEN_READ, mark);
    if (process == NULL)
        return 0;
    counts->opened++;
    SIZE_T size = ReadEnvironment(process);

    // After the 64-bit read, whatever it found: a WOW64 process (a non-zero
    // answer) would add the 32-bit reads, which no process under Wine is.
    ULONG_PTR peb32 = 0;
    ULONG returned = 0;
    mark = MarkCall();
    QueryInformation(process, WOW64_INFORMATION_CLASS, &peb32, sizeof(peb32), &returned);
    CountCall(CALL_WOW64_INFORMATION, mark);
    if (peb32 != 0)
        counts->wow64++;

    mark = MarkCall();
    CloseHandle(process);
    CountCall(CALL_CLOSE_READ, mark);

    if (!ToolExtras) {
        mark = MarkCall();
        size_t start = 0;
        size_t length = 0;
        int found = WalkEnvironmentBlock((const ENV_CHAR*)Environment, size / sizeof(ENV_CHAR), &start, &length) ==
                    BLOCK_PROMPT;
        CountCall(CALL_BLOCK_WALK, mark);
        return found;
    }
    // As the tool does it: the walk is given the whole buffer, and the
    // matching entry is copied out.
    size_t start = 0;
    size_t length = 0;
    mark = MarkCall();
    int found =
        WalkEnvironmentBlock((const ENV_CHAR*)Environment, size / sizeof(ENV_CHAR), &start, &length) == BLOCK_PROMPT;
    CountCall(CALL_BLOCK_WALK, mark);
    if (found) {
        mark = MarkCall();
        CopyWideText(PromptEntry, sizeof(PromptEntry) / sizeof(PromptEntry[0]),
                     (const WCHAR*)Environment + start, length);
        CountCall(CALL_EXTRA_ENTRY_COPY, mark);
    }
    return found;
}

static void LookUpOwner(DWORD processId)
{
    LARGE_INTEGER mark = MarkCall();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == NULL) {
        CountCall(CALL_OWNER, mark);
        return;
    }
    HANDLE token = NULL;
    DWORD tokenUser[TOKEN_USER_BUFFER_BYTES / sizeof(DWORD)];
    DWORD returned = 0;
    BOOL found = OpenProcessToken(process, TOKEN_QUERY, &token) &&
                 GetTokenInformation(token, TokenUser, tokenUser, sizeof(tokenUser), &returned);
    CountCall(CALL_OWNER, mark);
    if (found) {
        char name[NAME_CHARS];
        char domain[NAME_CHARS];
        DWORD nameChars = sizeof(name);
        DWORD domainChars = sizeof(domain);
        SID_NAME_USE use;
        mark = MarkCall();
        LookupAccountSidA(NULL, ((TOKEN_USER*)tokenUser)->User.Sid, name, &nameChars, domain, &domainChars, &use);
        CountCall(CALL_ACCOUNT, mark);
    }
    mark = MarkCall();
    if (token != NULL)
        CloseHandle(token);
    CloseHandle(process);
    CountCall(CALL_OWNER, mark);
}

static void LookUpWow64(DWORD processId)
{
    LARGE_INTEGER mark = MarkCall();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process != NULL) {
        BOOL isWow64 = FALSE;
        IsWow64Process(process, &isWow64);
        CloseHandle(process);
    }
    CountCall(CALL_IS_WOW64, mark);
}

// The path the system recorded when it created the process, for a process
// that still runs.
static void LookUpImagePath(DWORD processId)
{
    LARGE_INTEGER mark = MarkCall();
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process != NULL) {
        DWORD exitCode = 0;
        char path[IMAGE_PATH_BYTES];
        DWORD length = sizeof(path);
        if (GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE)
            QueryFullProcessImageNameA(process, 0, path, &length);
        CloseHandle(process);
    }
    CountCall(CALL_IMAGE_PATH, mark);
}

static void SetRecordColour(void)
{
    LARGE_INTEGER mark = MarkCall();
    fflush(stdout);
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), FOREGROUND_GREEN | FOREGROUND_INTENSITY);
    CountCall(CALL_EXTRA_COLOUR, mark);
}

static void ReportProfile(void)
{
    for (int kind = 0; kind < CALL_KINDS; kind++) {
        if (CallCounts[kind] != 0)
            fprintf(stderr, "call=%s count=%lu total_us=%.1f\n", CALL_NAMES[kind], (unsigned long)CallCounts[kind],
                    CallMicroseconds[kind]);
    }
    fflush(stderr);
}

// The watch's floor: what its polls cannot do without.
static int ReadListEvery100Milliseconds(DWORD seconds)
{
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
    for (;;) {
        ULONGLONG polled = GetTickCount64();
        PROCESS_LIST list;
        LONG status = 0;
        if (!ReadProcessList(&list, &status))
            return 1;
        ULONGLONG next = polled + 100 < deadline ? polled + 100 : deadline;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return 0;
        Sleep(next > now ? (DWORD)(next - now) : 0);
    }
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "-w") == 0)
        return ReadListEvery100Milliseconds((DWORD)strtoul(argv[2], NULL, 10));
    Profiling = HasOption(argc, argv, "-p");
    ToolExtras = HasOption(argc, argv, "-e");
    QueryInformation =
        (QueryFunction)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    if (QueryInformation == NULL || !GrowEnvironment(ENVIRONMENT_BYTES))
        return 1;

    FloorCounts counts = {0, 0, 0, 0};
    LARGE_INTEGER start = ReadClock();

    LARGE_INTEGER mark = MarkCall();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    BOOL more = Process32First(snapshot, &entry);
    CountCall(CALL_SNAPSHOT, mark);
    DWORD ownProcessId = GetCurrentProcessId();
    while (more) {
        counts.processes++;
        if (entry.th32ProcessID != ownProcessId && HasPromptEntry(entry.th32ProcessID, &counts)) {
            counts.listed++;
            LookUpOwner(entry.th32ProcessID);
            LookUpWow64(entry.th32ProcessID);
            LookUpImagePath(entry.th32ProcessID);
            if (ToolExtras)
                SetRecordColour();
        }
        mark = MarkCall();
        more = Process32Next(snapshot, &entry);
        CountCall(CALL_SNAPSHOT_NEXT, mark);
    }
    CloseHandle(snapshot);

    if (HasOption(argc, argv, "-t")) {
        TCP_TABLES tables;
        mark = MarkCall();
        ReadTcpTables(&tables);
        CountCall(CALL_TCP_TABLES, mark);
    }

    double work = MicrosecondsSince(start);
    if (Profiling)
        ReportProfile();
    if (HasOption(argc, argv, "-r") || Profiling)
        ReportFloor(work, &counts);
    return 0;
}
