// Shows, under Wine 8, how a read of another process's memory can leave that
// process stopped for good, and a region query on it waiting without end.
//
// Wine's server reads another process's memory through ptrace: it attaches
// the process's first thread, waits up to 3 s (its alarm) for the thread to
// stop, reads, and detaches. A thread that has not stopped within the 3 s
// (one the machine did not run, or, here, one held in a vfork whose child
// sleeps) cannot be detached: the server takes it for dead and leaves it
// attached with the stop signal pending. When the thread takes the signal,
// the server passes it on, and every other thread of the process stops and
// stays stopped. A region query (VirtualQueryEx), which Wine has a thread of
// the target answer, waits for as long as it is handed to one of them: the
// server hands it to the first thread waiting in Wine, or, when none is, to
// the first it can signal.
//
// Usage: murk_held_query [seconds]   how long the query is waited for (20)
// Prints each step; status 0 when the query was still held after that time,
// 1 when it was answered, 2 when the case could not be set up (or not under
// Wine). The target is ended at the end, its unix process with SIGKILL.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define HOLD_SECONDS 5
#define QUERY_WAIT_SECONDS 20
#define READY_WAIT_MS 60000
#define PATH_CHARS 512
#define LINE_BYTES 256
#define SIGKILL_NUMBER 9

// x86-64 Linux system calls, made from machine code so that no compiler's
// inline assembly is needed; first argument in rcx (the Windows convention).
// vfork, and in the child nanosleep(rcx, NULL) and exit(0); the parent returns.
static const unsigned char HOLD_IN_VFORK_CODE[] = {
    0x49, 0x89, 0xC8,                    // mov r8, rcx
    0xB8, 0x3A, 0x00, 0x00, 0x00,        // mov eax, 58 (vfork)
    0x0F, 0x05,                          // syscall
    0x48, 0x85, 0xC0,                    // test rax, rax
    0x75, 0x15,                          // jnz parent
    0xB8, 0x23, 0x00, 0x00, 0x00,        // mov eax, 35 (nanosleep)
    0x4C, 0x89, 0xC7,                    // mov rdi, r8
    0x31, 0xF6,                          // xor esi, esi
    0x0F, 0x05,                          // syscall
    0xB8, 0x3C, 0x00, 0x00, 0x00,        // mov eax, 60 (exit)
    0x31, 0xFF,                          // xor edi, edi
    0x0F, 0x05,                          // syscall
    0xC3,                                // parent: ret
};
// getpid()
static const unsigned char GET_PID_CODE[] = {
    0xB8, 0x27, 0x00, 0x00, 0x00,  // mov eax, 39
    0x0F, 0x05,                    // syscall
    0xC3,                          // ret
};
// kill(rcx, rdx), rdi and rsi kept as the Windows convention wants.
static const unsigned char KILL_CODE[] = {
    0x57, 0x56,                    // push rdi; push rsi
    0x48, 0x89, 0xCF,              // mov rdi, rcx
    0x48, 0x89, 0xD6,              // mov rsi, rdx
    0xB8, 0x3E, 0x00, 0x00, 0x00,  // mov eax, 62
    0x0F, 0x05,                    // syscall
    0x5E, 0x5F,                    // pop rsi; pop rdi
    0xC3,                          // ret
};

typedef LONG64(WINAPI* LinuxCall)(LONG64 first, LONG64 second);

static LinuxCall PlaceCode(const unsigned char* code, size_t bytes)
{
    void* memory = VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    if (memory == NULL)
        return NULL;
    memcpy(memory, code, bytes);
    if (!VirtualProtect(memory, bytes, PAGE_EXECUTE_READ, &old))
        return NULL;
    return (LinuxCall)memory;
}

static int IsUnderWine(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

// ---- the target ----

static HANDLE Never = NULL;

static DWORD WINAPI WaitForever(void* unused)
{
    (void)unused;
    WaitForSingleObject(Never, INFINITE);
    return 0;
}

// A second thread waits in Wine; the first reports its unix pid, holds itself
// in the vfork once the prober has had time to read, then stays busy, as a
// thread at work would.
static int RunTarget(void)
{
    LinuxCall holdInVfork = PlaceCode(HOLD_IN_VFORK_CODE, sizeof(HOLD_IN_VFORK_CODE));
    LinuxCall getPid = PlaceCode(GET_PID_CODE, sizeof(GET_PID_CODE));
    Never = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (holdInVfork == NULL || getPid == NULL || Never == NULL ||
        CreateThread(NULL, 0, WaitForever, NULL, 0, NULL) == NULL)
        return 2;
    char line[LINE_BYTES];
    int length = _snprintf(line, sizeof(line) - 1, "R%lld\n", (long long)getPid(0, 0));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
    Sleep(1000);
    LONG64 duration[2] = {HOLD_SECONDS, 0};
    holdInVfork((LONG64)(ULONG_PTR)duration, 0);
    volatile LONG64 rounds = 0;
    for (;;)
        rounds = rounds + 1;
}

// ---- the prober ----

struct RegionQuery {
    HANDLE process;
    SIZE_T answer;
};

static DWORD WINAPI QueryRegion(void* parameter)
{
    RegionQuery* query = (RegionQuery*)parameter;
    MEMORY_BASIC_INFORMATION region;
    query->answer = VirtualQueryEx(query->process, (const void*)0x10000, &region, sizeof(region));
    return 0;
}

// The first line of a file of the host's /proc, through Wine's Z: drive.
static void ReadProcLine(const char* path, const char* prefix, char* text, size_t capacity)
{
    text[0] = '\0';
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char content[4096];
    DWORD read = 0;
    if (ReadFile(file, content, sizeof(content) - 1, &read, NULL)) {
        content[read] = '\0';
        const char* line = prefix[0] == '\0' ? content : strstr(content, prefix);
        if (line != NULL) {
            size_t length = strcspn(line, "\n");
            length = length < capacity - 1 ? length : capacity - 1;
            memcpy(text, line, length);
            text[length] = '\0';
        }
    }
    CloseHandle(file);
}

// Each thread of the unix process with its state letter and its tracer.
static void PrintThreadStates(long long unixPid)
{
    char pattern[PATH_CHARS];
    _snprintf(pattern, sizeof(pattern) - 1, "Z:\\proc\\%lld\\task\\*", unixPid);
    pattern[sizeof(pattern) - 1] = '\0';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (found.cFileName[0] == '.')
            continue;
        char path[PATH_CHARS];
        char stat[LINE_BYTES];
        char tracer[LINE_BYTES];
        _snprintf(path, sizeof(path) - 1, "Z:\\proc\\%lld\\task\\%s\\stat", unixPid, found.cFileName);
        path[sizeof(path) - 1] = '\0';
        ReadProcLine(path, "", stat, sizeof(stat));
        _snprintf(path, sizeof(path) - 1, "Z:\\proc\\%lld\\task\\%s\\status", unixPid, found.cFileName);
        path[sizeof(path) - 1] = '\0';
        ReadProcLine(path, "TracerPid:", tracer, sizeof(tracer));
        // The state letter follows the command name in parentheses.
        const char* state = strrchr(stat, ')');
        long long tracerPid = tracer[0] != '\0' ? atoll(tracer + strlen("TracerPid:")) : 0;
        char tracerName[LINE_BYTES] = "";
        if (tracerPid != 0) {
            _snprintf(path, sizeof(path) - 1, "Z:\\proc\\%lld\\comm", tracerPid);
            path[sizeof(path) - 1] = '\0';
            ReadProcLine(path, "", tracerName, sizeof(tracerName));
        }
        char stateLetter = state != NULL && state[1] != '\0' ? state[2] : '?';
        if (tracerPid != 0)
            printf("  thread %s: state %c, traced by %lld (%s)\n", found.cFileName, stateLetter, tracerPid, tracerName);
        else
            printf("  thread %s: state %c, not traced\n", found.cFileName, stateLetter);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

static int RunProber(DWORD querySeconds)
{
    char self[PATH_CHARS];
    char commandLine[PATH_CHARS + 16];
    if (GetModuleFileNameA(NULL, self, sizeof(self)) == 0)
        return 2;
    _snprintf(commandLine, sizeof(commandLine) - 1, "\"%s\" target", self);
    commandLine[sizeof(commandLine) - 1] = '\0';
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE output = NULL;
    HANDLE childOutput = NULL;
    if (!CreatePipe(&output, &childOutput, &attributes, 0))
        return 2;
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    PROCESS_INFORMATION target;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup, &target))
        return 2;
    CloseHandle(childOutput);

    char line[LINE_BYTES];
    DWORD read = 0;
    DWORD at = 0;
    while (at < sizeof(line) - 1 && ReadFile(output, line + at, 1, &read, NULL) && read == 1 && line[at] != '\n')
        at++;
    line[at] = '\0';
    if (line[0] != 'R') {
        TerminateProcess(target.hProcess, 2);
        return 2;
    }
    long long unixPid = atoll(line + 1);
    printf("target %lu (unix process %lld): a thread waiting in Wine, the first held %d s in a vfork\n",
           (unsigned long)target.dwProcessId, unixPid, HOLD_SECONDS);

    Sleep(2000);
    char bytes[64];
    SIZE_T copied = 0;
    ULONGLONG started = GetTickCount64();
    BOOL readDone = ReadProcessMemory(target.hProcess, (const void*)0x7FFE0000, bytes, sizeof(bytes), &copied);
    DWORD readError = readDone ? 0 : GetLastError();
    printf("memory read while the first thread was held: %s (error %lu) after %llu ms\n",
           readDone ? "read" : "failed", (unsigned long)readError, GetTickCount64() - started);

    Sleep((HOLD_SECONDS + 1) * 1000);
    printf("after the hold:\n");
    PrintThreadStates(unixPid);

    RegionQuery query = {target.hProcess, 0};
    started = GetTickCount64();
    HANDLE asker = CreateThread(NULL, 0, QueryRegion, &query, 0, NULL);
    if (asker == NULL)
        return 2;
    int held = WaitForSingleObject(asker, querySeconds * 1000) != WAIT_OBJECT_0;
    if (held)
        printf("region query: still held after %lu s\n", (unsigned long)querySeconds);
    else
        printf("region query: answered after %llu ms\n", GetTickCount64() - started);

    TerminateProcess(target.hProcess, 9);
    WaitForSingleObject(target.hProcess, 10000);
    if (held)
        printf("after the target was ended: the query %s\n",
               WaitForSingleObject(asker, 10000) == WAIT_OBJECT_0 ? "returned" : "is still held");
    // Its stopped threads take no part in Wine's ending of the process.
    LinuxCall killProcess = PlaceCode(KILL_CODE, sizeof(KILL_CODE));
    if (killProcess != NULL)
        killProcess(unixPid, SIGKILL_NUMBER);
    CloseHandle(asker);
    CloseHandle(target.hProcess);
    CloseHandle(target.hThread);
    CloseHandle(output);
    return held ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (!IsUnderWine()) {
        printf("murk_held_query shows a behaviour of Wine's server; it runs under Wine only.\n");
        return 2;
    }
    if (argc == 2 && strcmp(argv[1], "target") == 0)
        return RunTarget();
    DWORD seconds = argc == 2 ? (DWORD)atoi(argv[1]) : QUERY_WAIT_SECONDS;
    int status = RunProber(seconds != 0 ? seconds : QUERY_WAIT_SECONDS);
    fflush(stdout);
    return status;
}
