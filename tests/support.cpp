#include "support.h"

#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "target_modes.h"

// In the test programs a run that fails fails the current test; the other
// programs built from this file (the audit's launcher, the benchmark) run
// nothing through RunProgram and report on standard error.
#ifdef MURKSCOPE_TEST_PROGRAM
#include <gtest/gtest.h>
static void FailRun(const std::string& message)
{
    ADD_FAILURE() << message;
}
#else
static void FailRun(const std::string& message)
{
    fprintf(stderr, "%s\n", message.c_str());
}
#endif

static const DWORD READY_TIMEOUT_MS = 60000;

// A run of the tool takes about 2 s, and took 9.4 s at most in 1,357 runs
// against the hostile targets on two cores under a load average of 12 to 20;
// a run still going after TOOL_RUN_BOUND_MS is held, not slow. Once one run of a test program has stalled, the later ones
// are given STALLED_RUN_BOUND_MS, so that a program whose every run stalls
// still ends well within CTest's 900 s.
static const DWORD STALLED_RUN_BOUND_MS = 15000;
// Suspending the stalled tool's threads and reading them needs the tool to
// answer; a tool that does not is ended without its threads named.
static const DWORD STALL_READ_MS = 15000;
static bool RunStalled = false;

// ---- the targets held, named in a stall's message ----

#define HELD_TARGETS 64
#define HELD_NAME_CHARS 96

struct HeldTarget {
    DWORD processId;
    char name[HELD_NAME_CHARS];  // the program's file name and its arguments
};

static HeldTarget HeldTargets[HELD_TARGETS];

static void HoldTarget(DWORD processId, const std::wstring& commandLine)
{
    // The program's path is the first token, quoted or not; its file name
    // and the arguments name the target.
    bool quoted = !commandLine.empty() && commandLine[0] == L'"';
    size_t pathStart = quoted ? 1 : 0;
    size_t pathEnd = commandLine.find(quoted ? L'"' : L' ', pathStart);
    if (pathEnd == std::wstring::npos)
        pathEnd = commandLine.size();
    std::wstring path = commandLine.substr(pathStart, pathEnd - pathStart);
    size_t slash = path.find_last_of(L"\\/");
    std::string name = Utf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
    size_t arguments = commandLine.find_first_not_of(L' ', pathEnd + 1);
    if (pathEnd < commandLine.size() && arguments != std::wstring::npos)
        name += " " + Utf8(commandLine.substr(arguments));
    for (HeldTarget& held : HeldTargets) {
        if (held.processId != 0)
            continue;
        held.processId = processId;
        _snprintf(held.name, sizeof(held.name) - 1, "%s", name.c_str());
        held.name[sizeof(held.name) - 1] = '\0';
        return;
    }
}

static void ReleaseTarget(DWORD processId)
{
    for (HeldTarget& held : HeldTargets)
        if (held.processId == processId)
            held.processId = 0;
}

static std::string DescribeHeldTarget(DWORD processId)
{
    for (const HeldTarget& held : HeldTargets)
        if (held.processId == processId && processId != 0)
            return std::string(held.name) + " (pid " + std::to_string(processId) + ")";
    return "process " + std::to_string(processId);
}

static std::string ListHeldTargets(void)
{
    std::string list;
    for (const HeldTarget& held : HeldTargets) {
        if (held.processId == 0)
            continue;
        list += (list.empty() ? "" : ", ") + DescribeHeldTarget(held.processId);
    }
    return list.empty() ? "no targets" : list;
}

static bool MakePipe(HANDLE* ours, HANDLE* theirs, bool theyRead)
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE readEnd = NULL;
    HANDLE writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0))
        return false;
    *ours = theyRead ? writeEnd : readEnd;
    *theirs = theyRead ? readEnd : writeEnd;
    SetHandleInformation(*ours, HANDLE_FLAG_INHERIT, 0);
    return true;
}

std::string CurrentDirectory()
{
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof(directory), directory);
    std::string text(directory, length < sizeof(directory) ? length : 0);
    return text.empty() || text.back() == '\\' ? text : text + "\\";
}

std::string BinDirectory()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
    std::string text(path, length);
    return text.substr(0, text.find_last_of('\\') + 1);
}

std::string ToolPath()
{
    return BinDirectory() + "Murkscope64.exe";
}

bool StartTarget(const char* mode, Target* target)
{
    return StartTargetProgram(TARGET_PROGRAM, mode, CREATE_NO_WINDOW, target);
}

bool StartWow64Target(const char* mode, Target* target, ULONG_PTR* peb32)
{
    *peb32 = 0;
    if (!StartTarget(mode, target))
        return false;
    // The address follows the ready byte, written at once after it.
    DWORD read = 0;
    if (ReadFile(target->output, peb32, sizeof(*peb32), &read, NULL) && read == sizeof(*peb32) && *peb32 != 0)
        return true;
    StopTarget(target);
    return false;
}

bool StartTargetProgram(const char* program, const char* mode, DWORD creationFlags, Target* target)
{
    TargetStart start = {creationFlags, 0, 0, true, NULL, NULL};
    return StartTargetCommand(Widen("\"" + BinDirectory() + program + "\" " + mode), start, target);
}

static HANDLE CreateTargetEvent(const char* kind, DWORD processId)
{
    char name[64];
    _snprintf(name, sizeof(name) - 1, "Local\\murk-%s-%lu", kind, (unsigned long)processId);
    name[sizeof(name) - 1] = '\0';
    return CreateEventA(NULL, TRUE, FALSE, name);
}

bool StartTargetCommand(const std::wstring& commandLine, const TargetStart& start, Target* target)
{
    memset(target, 0, sizeof(*target));
    HANDLE childInput = NULL;
    HANDLE childOutput = NULL;
    if (start.standardHandles) {
        if (!MakePipe(&target->input, &childInput, true))
            return false;
        if (!MakePipe(&target->output, &childOutput, false)) {
            CloseHandle(target->input);
            CloseHandle(childInput);
            return false;
        }
    }
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = start.startFlags;
    startup.wShowWindow = start.showWindow;
    startup.lpDesktop = (LPWSTR)start.desktop;
    if (start.standardHandles) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
    }
    std::wstring line = commandLine;
    std::string environment = CleanEnvironment("");
    // Held until the events exist: the target looks for them as it starts.
    DWORD creationFlags = start.creationFlags | (start.standardHandles ? 0 : CREATE_SUSPENDED);
    BOOL started = CreateProcessW(NULL, &line[0], NULL, NULL, start.standardHandles ? TRUE : FALSE, creationFlags,
                                  &environment[0], start.directory, &startup, &target->info);
    if (childInput != NULL)
        CloseHandle(childInput);
    if (childOutput != NULL)
        CloseHandle(childOutput);
    if (!started) {
        if (target->input != NULL)
            CloseHandle(target->input);
        if (target->output != NULL)
            CloseHandle(target->output);
        memset(target, 0, sizeof(*target));
        return false;
    }
    HoldTarget(target->info.dwProcessId, commandLine);
    if (!start.standardHandles) {
        HANDLE ready = CreateTargetEvent("ready", target->info.dwProcessId);
        target->stop = CreateTargetEvent("stop", target->info.dwProcessId);
        ResumeThread(target->info.hThread);
        bool isReady = ready != NULL && target->stop != NULL &&
                       WaitForSingleObject(ready, READY_TIMEOUT_MS) == WAIT_OBJECT_0;
        if (ready != NULL)
            CloseHandle(ready);
        if (isReady)
            return true;
        StopTarget(target);
        return false;
    }
    ULONGLONG deadline = GetTickCount64() + READY_TIMEOUT_MS;
    while (GetTickCount64() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(target->output, NULL, 0, NULL, &available, NULL))
            break;  // the target ended without reporting ready
        if (available > 0) {
            char ready = 0;
            DWORD read = 0;
            if (ReadFile(target->output, &ready, 1, &read, NULL) && read == 1 && ready == 'R')
                return true;
            break;
        }
        Sleep(1);
    }
    StopTarget(target);
    return false;
}

void StopTarget(Target* target)
{
    if (target->input != NULL)
        CloseHandle(target->input);
    if (target->stop != NULL) {
        SetEvent(target->stop);
        CloseHandle(target->stop);
    }
    if (target->info.hProcess != NULL) {
        ReleaseTarget(target->info.dwProcessId);
        if (WaitForSingleObject(target->info.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(target->info.hProcess, 9);
        WaitForSingleObject(target->info.hProcess, 10000);
        CloseHandle(target->info.hProcess);
        CloseHandle(target->info.hThread);
    }
    if (target->output != NULL)
        CloseHandle(target->output);
    memset(target, 0, sizeof(*target));
}

static void Drain(HANDLE pipe, std::string* text)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) || available == 0)
            return;
        char chunk[4096];
        DWORD read = 0;
        DWORD wanted = available < sizeof(chunk) ? available : (DWORD)sizeof(chunk);
        if (!ReadFile(pipe, chunk, wanted, &read, NULL) || read == 0)
            return;
        text->append(chunk, read);
    }
}

// ---- a stalled run: where its threads wait ----

#define STALL_TEXT_BYTES 4096
#define MODULE_NAME_CHARS 64

// The export of ours in the module loaded here as moduleName at or below
// rva, as "module!Export+0xoffset". The copy loaded here is the same file as
// the tool's, so its export table answers for the tool's address too (under
// Wine 8 ntdll, kernelbase and kernel32 even lie at the same address in every
// process; the offset does not rely on it).
static bool NameExport(const char* moduleName, ULONG_PTR rva, char* text, size_t capacity)
{
    HMODULE module = GetModuleHandleA(moduleName);
    if (module == NULL)
        return false;
    const unsigned char* image = (const unsigned char*)module;
    const IMAGE_NT_HEADERS* headers = (const IMAGE_NT_HEADERS*)(image + ((const IMAGE_DOS_HEADER*)image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directory = &headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory->VirtualAddress == 0 || rva >= headers->OptionalHeader.SizeOfImage)
        return false;
    const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)(image + directory->VirtualAddress);
    const DWORD* functions = (const DWORD*)(image + exports->AddressOfFunctions);
    const DWORD* names = (const DWORD*)(image + exports->AddressOfNames);
    const WORD* ordinals = (const WORD*)(image + exports->AddressOfNameOrdinals);
    const char* bestName = NULL;
    DWORD best = 0;
    for (DWORD index = 0; index < exports->NumberOfNames; index++) {
        DWORD function = functions[ordinals[index]];
        // A forwarder's entry leads to text inside the directory, not code.
        if (function >= directory->VirtualAddress && function < directory->VirtualAddress + directory->Size)
            continue;
        if (function <= rva && (bestName == NULL || function > best)) {
            best = function;
            bestName = (const char*)(image + names[index]);
        }
    }
    if (bestName == NULL)
        return false;
    _snprintf(text, capacity - 1, "%s!%s+0x%llx", moduleName, bestName, (unsigned long long)(rva - best));
    text[capacity - 1] = '\0';
    return true;
}

// Names an address of the process: the export it lies in, or its module and
// offset, or the bare address. The module is looked up in the process's own
// list, so its base there need not be the one here.
static void NameAddress(DWORD processId, ULONG_PTR address, char* text, size_t capacity)
{
    _snprintf(text, capacity - 1, "0x%llx", (unsigned long long)address);
    text[capacity - 1] = '\0';
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
        ULONG_PTR base = (ULONG_PTR)entry.modBaseAddr;
        if (address < base || address - base >= entry.modBaseSize)
            continue;
        char name[MODULE_NAME_CHARS];
        _snprintf(name, sizeof(name) - 1, "%s", entry.szModule);
        name[sizeof(name) - 1] = '\0';
        if (!NameExport(name, address - base, text, capacity)) {
            _snprintf(text, capacity - 1, "%s+0x%llx", name, (unsigned long long)(address - base));
            text[capacity - 1] = '\0';
        }
        break;
    }
    CloseHandle(snapshot);
}

// The held targets the stalled process has handles open on, as a text:
// its handle table walked from our side, which needs nothing of it. The tool
// keeps a process's handle open only while it reads that process.
#define HANDLE_VALUES_WALKED 0x4000

static std::string ListOpenTargets(HANDLE process)
{
    std::string text;
    DWORD seen[HELD_TARGETS];
    int count = 0;
    for (ULONG_PTR value = 4; value < HANDLE_VALUES_WALKED && count < HELD_TARGETS; value += 4) {
        HANDLE copy = NULL;
        if (!DuplicateHandle(process, (HANDLE)value, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        DWORD processId = GetProcessId(copy);
        CloseHandle(copy);
        bool again = false;
        for (int index = 0; index < count; index++)
            again = again || seen[index] == processId;
        if (processId == 0 || again)
            continue;
        seen[count++] = processId;
        text += (text.empty() ? "" : ", ") + DescribeHeldTarget(processId);
    }
    return text;
}

// A file of the host's /proc, read through Wine's Z: drive; its bytes.
static DWORD ReadHostFile(const std::string& path, char* buffer, DWORD capacity)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD read = 0;
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (!ReadFile(file, buffer, capacity - 1, &read, NULL))
        read = 0;
    buffer[read] = '\0';
    CloseHandle(file);
    return read;
}

// Under Wine: the processes of our prefix with threads that Linux has
// stopped or that something traces, as a text. Such a thread answers none of
// Wine's requests: a wineserver that gave up a read of it after 3 s leaves it
// traced and the process's other threads stopped (docs/wine.md). Empty on
// Windows, which has no Z:\proc.
#define HOST_FILE_BYTES 16384

static std::string ListStoppedProcesses(void)
{
    static char content[HOST_FILE_BYTES];
    char prefix[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    if (length == 0 || length >= sizeof(prefix))
        return "";
    std::string entry = std::string("WINEPREFIX=") + prefix;
    std::string text;
    WIN32_FIND_DATAA process;
    HANDLE processes = FindFirstFileA("Z:\\proc\\*", &process);
    for (BOOL more = processes != INVALID_HANDLE_VALUE; more; more = FindNextFileA(processes, &process)) {
        std::string folder = std::string("Z:\\proc\\") + process.cFileName;
        DWORD bytes = process.cFileName[0] >= '1' && process.cFileName[0] <= '9'
                          ? ReadHostFile(folder + "\\environ", content, sizeof(content))
                          : 0;
        if (std::string(content, bytes).find(entry + '\0') == std::string::npos)
            continue;
        int threads = 0;
        int stopped = 0;
        WIN32_FIND_DATAA thread;
        HANDLE tasks = FindFirstFileA((folder + "\\task\\*").c_str(), &thread);
        for (BOOL next = tasks != INVALID_HANDLE_VALUE; next; next = FindNextFileA(tasks, &thread)) {
            std::string task = folder + "\\task\\" + thread.cFileName;
            if (thread.cFileName[0] == '.' || ReadHostFile(task + "\\stat", content, sizeof(content)) == 0)
                continue;
            // The state letter follows the command name in parentheses.
            const char* state = strrchr(content, ')');
            bool halted = state != NULL && state[1] == ' ' && (state[2] == 'T' || state[2] == 't');
            ReadHostFile(task + "\\status", content, sizeof(content));
            const char* tracer = strstr(content, "TracerPid:");
            threads++;
            stopped += halted || (tracer != NULL && atoi(tracer + 10) != 0) ? 1 : 0;
        }
        if (tasks != INVALID_HANDLE_VALUE)
            FindClose(tasks);
        if (stopped == 0)
            continue;
        bytes = ReadHostFile(folder + "\\cmdline", content, sizeof(content));
        std::string name;
        for (DWORD index = 0; index < bytes; index++)
            name.push_back(content[index] == '\0' ? ' ' : content[index]);
        // Wine writes its command line over the loader's, padded with spaces.
        name.erase(name.find_last_not_of(' ') + 1);
        size_t slash = name.find_last_of("\\/", name.find(' '));
        text += (text.empty() ? "" : ", ") + name.substr(slash == std::string::npos ? 0 : slash + 1) + " (unix " +
                process.cFileName + ": " + std::to_string(stopped) + " of " + std::to_string(threads) +
                " threads stopped or traced)";
    }
    if (processes != INVALID_HANDLE_VALUE)
        FindClose(processes);
    return text;
}

struct StallRead {
    HANDLE process;
    DWORD processId;
    char text[STALL_TEXT_BYTES];
};

static StallRead Stall;

// Suspends each thread of the stalled process and names where it stands,
// then the processes it has open.
static DWORD WINAPI ReadStalledThreads(void* unused)
{
    (void)unused;
    std::string text;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Thread32First(snapshot, &entry); more;
         more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != Stall.processId)
            continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
        if (thread == NULL)
            continue;
        CONTEXT context;
        memset(&context, 0, sizeof(context));
        context.ContextFlags = CONTEXT_FULL;
        char where[256];
        if (SuspendThread(thread) != (DWORD)-1 && GetThreadContext(thread, &context))
            NameAddress(Stall.processId, (ULONG_PTR)context.Rip, where, sizeof(where));
        else
            _snprintf(where, sizeof(where) - 1, "a place not read (error %lu)", (unsigned long)GetLastError());
        where[sizeof(where) - 1] = '\0';
        text += (text.empty() ? "" : "; ") + std::string(where);
        CloseHandle(thread);
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    std::string open = ListOpenTargets(Stall.process);
    if (!open.empty())
        text += ", with a handle open on " + open;
    std::string stopped = ListStoppedProcesses();
    if (!stopped.empty())
        text += "; at the Linux level " + stopped;
    _snprintf(Stall.text, sizeof(Stall.text) - 1, "%s", text.empty() ? "no thread found" : text.c_str());
    Stall.text[sizeof(Stall.text) - 1] = '\0';
    return 0;
}

// Fails the current test with where the stalled process waits, then ends it.
static void ReportStall(HANDLE process, DWORD processId, ULONGLONG waited)
{
    // A reading that never came back keeps Stall: no other may start.
    static bool readingAbandoned = false;
    std::string where = "its threads not read: an earlier reading never came back";
    if (!readingAbandoned) {
        Stall.process = process;
        Stall.processId = processId;
        HANDLE reader = CreateThread(NULL, 0, ReadStalledThreads, NULL, 0, NULL);
        DWORD read = reader != NULL ? WaitForSingleObject(reader, STALL_READ_MS) : WAIT_FAILED;
        if (read == WAIT_OBJECT_0)
            where = Stall.text;
        else
            where = "its threads not read within " + std::to_string(STALL_READ_MS / 1000) + " s";
        TerminateProcess(process, 9);
        if (reader != NULL) {
            readingAbandoned = read != WAIT_OBJECT_0 && WaitForSingleObject(reader, 10000) != WAIT_OBJECT_0;
            CloseHandle(reader);
        }
    }
    TerminateProcess(process, 9);
    WaitForSingleObject(process, 10000);
    RunStalled = true;
    FailRun("tool stalled " + std::to_string(waited / 1000) + " s in " + where + " while " + ListHeldTargets() +
            " were held");
}

// The time a run is given: its own, or less once a run has stalled.
static DWORD ChooseRunBound(DWORD milliseconds)
{
    return RunStalled && milliseconds > STALLED_RUN_BOUND_MS ? STALLED_RUN_BOUND_MS : milliseconds;
}

bool WaitForTool(const PROCESS_INFORMATION& info, DWORD milliseconds)
{
    ULONGLONG started = GetTickCount64();
    if (WaitForSingleObject(info.hProcess, ChooseRunBound(milliseconds)) == WAIT_OBJECT_0)
        return true;
    ReportStall(info.hProcess, info.dwProcessId, GetTickCount64() - started);
    return false;
}

RunResult RunProgram(const std::string& commandLine, const std::string& environment, DWORD creationFlags,
                     DWORD timeoutMilliseconds)
{
    RunResult result = {false, 0xFFFFFFFF, std::string(), std::string()};
    HANDLE output = NULL;
    HANDLE childOutput = NULL;
    HANDLE errors = NULL;
    HANDLE childErrors = NULL;
    HANDLE input = NULL;
    HANDLE childInput = NULL;
    if (!MakePipe(&output, &childOutput, false) || !MakePipe(&errors, &childErrors, false) ||
        !MakePipe(&input, &childInput, true))
        return result;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childErrors;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    std::string line = commandLine;
    std::string block = environment;
    BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, creationFlags, block.empty() ? NULL : &block[0],
                                  NULL, &startup, &info);
    if (!started)
        FailRun("could not start " + commandLine + " (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(childOutput);
    CloseHandle(childErrors);
    CloseHandle(childInput);
    if (started) {
        ULONGLONG begun = GetTickCount64();
        DWORD bound = ChooseRunBound(timeoutMilliseconds);
        for (;;) {
            Drain(output, &result.output);
            Drain(errors, &result.errors);
            if (WaitForSingleObject(info.hProcess, 10) == WAIT_OBJECT_0) {
                result.finished = true;
                break;
            }
            ULONGLONG waited = GetTickCount64() - begun;
            if (waited >= bound) {
                ReportStall(info.hProcess, info.dwProcessId, waited);
                break;
            }
        }
        Drain(output, &result.output);
        Drain(errors, &result.errors);
        GetExitCodeProcess(info.hProcess, &result.exitCode);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(errors);
    return result;
}

bool StartToolWithOutput(const std::string& arguments, HANDLE output, PROCESS_INFORMATION* info)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::string commandLine = "\"" + ToolPath() + "\" " + arguments;
    std::string environment = CleanEnvironment("");
    return CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, DETACHED_PROCESS, &environment[0], NULL, &startup,
                          info) != FALSE;
}

static bool BeginsWithPrompt(const char* entry)
{
    static const char prefix[] = "prompt";
    for (int index = 0; index < 6; index++) {
        char character = entry[index];
        if (character >= 'A' && character <= 'Z')
            character = (char)(character + 32);
        if (character != prefix[index])
            return false;
    }
    return true;
}

std::string CleanEnvironment(const std::string& extraEntries)
{
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != NULL && *entry != '\0'; entry += strlen(entry) + 1) {
        if (!BeginsWithPrompt(entry))
            block.append(entry, strlen(entry) + 1);
    }
    if (strings != NULL)
        FreeEnvironmentStringsA(strings);
    block += extraEntries;
    block.push_back('\0');
    return block;
}

std::string ToCrLf(const std::string& text)
{
    std::string converted;
    for (char character : text) {
        if (character == '\n')
            converted.push_back('\r');
        converted.push_back(character);
    }
    return converted;
}

std::string CurrentUserName()
{
    char name[256];
    DWORD length = sizeof(name);
    if (!GetUserNameA(name, &length))
        return std::string();
    return std::string(name);
}

std::wstring Widen(const std::string& text)
{
    int characters = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring wide(characters, L'\0');
    if (characters > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &wide[0], characters);
    return wide;
}

std::string Utf8(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string narrow(bytes, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &narrow[0], bytes, NULL, NULL);
    return narrow;
}
