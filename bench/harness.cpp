// The benchmark's Windows side: keeps a population of idle test targets alive
// in its Wine prefix and times the programs the host script names, each
// started as a Windows process the way a user starts the tool.
//
// Commands, one a line on standard input; one answer line each on standard
// output:
//   grow N [MODE]     start targets until N are alive: alternately
//                     prompt-first and no-prompt, or all in MODE (a mode of
//                     target_modes.h, or "hostile:" and a mode of the
//                     hostile target's) -> "population N"
//   clear             end every target -> "population 0"
//   count             -> "processes K <name>=<count>..." (the snapshot)
//   run OUT COMMAND   run COMMAND with standard output to the file OUT ("-":
//                     the null device), standard error to a pipe ->
//                     "result wall_us=.. exit=.. stderr=<lines, joined by '|'>"
//   memory OUT COMMAND  as run, but samples the process's memory counters
//                     every millisecond while it runs (Wine answers zero
//                     counters once a process has ended), so the time is not
//                     the scan's -> "result wall_us=.. exit=.. peak_ws=<bytes
//                     at the last sample> samples=.. stderr=.."
//   soak SCHEDULE OUT starts the short-lived shells SCHEDULE lists, one a line
//                     "<start ms> <lifetime ms>" (from the command, ascending):
//                     each a target with PROMPT=$P$G in the environment it is
//                     created with, its input closed once it has lived its
//                     lifetime; waits for every one to end and writes a line
//                     per shell to OUT -> "soak started=.. ended=.. failed=.."
//   quit              end every target and exit (as does the end of input)
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "hostile/hostile_modes.h"
#include "support.h"
#include "target_modes.h"

#define COMMAND_CHARS 4096
#define RUN_TIMEOUT_MS 300000
#define ERROR_PIPE_BYTES (1 << 20)
#define HOSTILE_MODE_PREFIX "hostile:"
#define SOAK_SHELLS_MAX 20000
#define SOAK_END_TIMEOUT_MS 30000

static std::vector<Target> Population;

static void Answer(const std::string& line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// As StartTarget, but without a console: a target started windowless gets a
// console host process of its own under Wine, which would double the
// population and its start-up time.
static void GrowPopulation(size_t wanted, const std::string& onlyMode)
{
    while (Population.size() < wanted) {
        // Unless a mode is named, alternate the modes so that the population
        // is half prompt, half not.
        const char* mode = !onlyMode.empty() ? onlyMode.c_str()
                           : Population.size() % 2 == 0 ? MODE_PROMPT_FIRST
                                                        : MODE_NO_PROMPT;
        Target target;
        const char* program = TARGET_PROGRAM;
        if (strncmp(mode, HOSTILE_MODE_PREFIX, strlen(HOSTILE_MODE_PREFIX)) == 0) {
            program = HOSTILE_PROGRAM;
            mode += strlen(HOSTILE_MODE_PREFIX);
        }
        // Detached rather than windowless: a windowless target gets a console
        // host process of its own under Wine, which would double the
        // population and its start-up time.
        if (!StartTargetProgram(program, mode, DETACHED_PROCESS, &target)) {
            Answer("error target " + std::to_string(Population.size()) + " did not start");
            return;
        }
        Population.push_back(target);
    }
    Answer("population " + std::to_string(Population.size()));
}

static void CountProcesses(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        Answer("error snapshot");
        return;
    }
    std::map<std::string, int> names;
    int total = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    if (Process32First(snapshot, &entry)) {
        do {
            total++;
            entry.szExeFile[sizeof(entry.szExeFile) - 1] = '\0';
            names[entry.szExeFile]++;
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    std::string line = "processes " + std::to_string(total);
    for (const auto& name : names)
        line += " " + name.first + "=" + std::to_string(name.second);
    Answer(line);
}

static double ElapsedMicroseconds(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart;
}

static std::string ReadAll(HANDLE pipe)
{
    std::string text;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) || available == 0)
            return text;
        char chunk[4096];
        DWORD read = 0;
        DWORD wanted = available < sizeof(chunk) ? available : (DWORD)sizeof(chunk);
        if (!ReadFile(pipe, chunk, wanted, &read, NULL) || read == 0)
            return text;
        text.append(chunk, read);
    }
}

// Waits for the process; when watching its memory, keeps the peak working set
// of the last sample taken before it ended.
static DWORD WaitWatching(HANDLE process, bool watchMemory, SIZE_T* peakWorkingSet, DWORD* samples)
{
    if (!watchMemory)
        return WaitForSingleObject(process, RUN_TIMEOUT_MS);
    for (DWORD waited = 0; waited < RUN_TIMEOUT_MS; waited++) {
        DWORD woken = WaitForSingleObject(process, 1);
        if (woken != WAIT_TIMEOUT)
            return woken;
        PROCESS_MEMORY_COUNTERS memory;
        memset(&memory, 0, sizeof(memory));
        memory.cb = sizeof(memory);
        if (GetProcessMemoryInfo(process, &memory, sizeof(memory)) && memory.PeakWorkingSetSize != 0) {
            *peakWorkingSet = memory.PeakWorkingSetSize;
            (*samples)++;
        }
    }
    return WAIT_TIMEOUT;
}

static void RunTimed(const std::string& outputPath, const std::string& commandLine, bool watchMemory)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE output = CreateFileA(outputPath == "-" ? "NUL" : outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE errorsOurs = NULL;
    HANDLE errorsTheirs = NULL;
    if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE ||
        !CreatePipe(&errorsOurs, &errorsTheirs, &inherit, ERROR_PIPE_BYTES)) {
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        if (input != INVALID_HANDLE_VALUE)
            CloseHandle(input);
        Answer("error cannot set up the standard handles for " + commandLine);
        return;
    }
    SetHandleInformation(errorsOurs, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errorsTheirs;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    std::string line = commandLine;

    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    // Detached, like the population: no console host is started for the run.
    BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, DETACHED_PROCESS, NULL, NULL, &startup, &info);
    DWORD startError = started ? 0 : GetLastError();
    SIZE_T peakWorkingSet = 0;
    DWORD samples = 0;
    DWORD waited = started ? WaitWatching(info.hProcess, watchMemory, &peakWorkingSet, &samples) : WAIT_FAILED;
    QueryPerformanceCounter(&end);

    CloseHandle(output);
    CloseHandle(input);
    CloseHandle(errorsTheirs);
    if (!started) {
        CloseHandle(errorsOurs);
        Answer("error cannot start " + commandLine + " (error " + std::to_string(startError) + ")");
        return;
    }
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 9);
        WaitForSingleObject(info.hProcess, 10000);
    }

    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);

    std::string errors = ReadAll(errorsOurs);
    CloseHandle(errorsOurs);
    for (char& character : errors) {
        if (character == '\n')
            character = '|';
        else if (character == '\r')
            character = ' ';
    }

    char text[256];
    _snprintf(text, sizeof(text) - 1, "result wall_us=%.1f exit=%lu", ElapsedMicroseconds(start, end),
              (unsigned long)exitCode);
    text[sizeof(text) - 1] = '\0';
    std::string memoryFields;
    if (watchMemory)
        memoryFields = " peak_ws=" + std::to_string(peakWorkingSet) + " samples=" + std::to_string(samples);
    Answer(std::string(text) + memoryFields + (waited == WAIT_OBJECT_0 ? "" : " timeout=1") + " stderr=" + errors);
}

// One short-lived shell of the soak: when it was due and started (ms from
// the command), when its input was closed and its end seen, and its
// creation and exit times as the system keeps them.
struct SoakShell {
    DWORD dueMs;
    DWORD lifetimeMs;
    double startedMs;
    double closedMs;
    double endedMs;
    DWORD processId;
    DWORD startError;
    ULONGLONG created;
    ULONGLONG exited;
    HANDLE process;
    HANDLE input;
    HANDLE output;
};

static SoakShell SoakShells[SOAK_SHELLS_MAX];

static double MillisecondsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return ElapsedMicroseconds(start, now) / 1000.0;
}

static ULONGLONG FileTimeValue(FILETIME time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

static size_t ReadSchedule(const char* path)
{
    FILE* schedule = fopen(path, "r");
    if (schedule == NULL)
        return 0;
    size_t count = 0;
    unsigned long due = 0;
    unsigned long lifetime = 0;
    while (count < SOAK_SHELLS_MAX && fscanf(schedule, "%lu %lu", &due, &lifetime) == 2) {
        memset(&SoakShells[count], 0, sizeof(SoakShells[count]));
        SoakShells[count].dueMs = (DWORD)due;
        SoakShells[count].lifetimeMs = (DWORD)lifetime;
        count++;
    }
    fclose(schedule);
    return count;
}

// The prompt entry is in the block the shell is created with, so it is there
// before the shell runs at all; the target's unchanged mode keeps that block.
static void StartSoakShell(SoakShell* shell, const std::string& environment, LARGE_INTEGER origin)
{
    HANDLE childInput = NULL;
    HANDLE childOutput = NULL;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    if (!CreatePipe(&childInput, &shell->input, &inherit, 0) || !CreatePipe(&shell->output, &childOutput, &inherit, 0)) {
        shell->startError = GetLastError();
        return;
    }
    SetHandleInformation(shell->input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(shell->output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    char line[COMMAND_CHARS];
    _snprintf(line, sizeof(line) - 1, "\"%s%s\" %s", BinDirectory().c_str(), TARGET_PROGRAM, MODE_UNCHANGED);
    line[sizeof(line) - 1] = '\0';
    std::string block = environment;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    // Detached, as the idle population is: no console host beside each shell.
    BOOL started = CreateProcessA(NULL, line, NULL, NULL, TRUE, DETACHED_PROCESS, &block[0], NULL, &startup, &info);
    shell->startedMs = MillisecondsSince(origin);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (!started) {
        shell->startError = GetLastError();
        CloseHandle(shell->input);
        CloseHandle(shell->output);
        shell->input = NULL;
        shell->output = NULL;
        return;
    }
    CloseHandle(info.hThread);
    shell->process = info.hProcess;
    shell->processId = info.dwProcessId;
}

static void NoteSoakShellEnd(SoakShell* shell, LARGE_INTEGER origin)
{
    shell->endedMs = MillisecondsSince(origin);
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (GetProcessTimes(shell->process, &created, &exited, &kernel, &user)) {
        shell->created = FileTimeValue(created);
        shell->exited = FileTimeValue(exited);
    }
    CloseHandle(shell->process);
    CloseHandle(shell->output);
    shell->process = NULL;
    shell->output = NULL;
}

static void WriteSoakShells(const char* path, size_t count)
{
    FILE* out = fopen(path, "w");
    if (out == NULL)
        return;
    for (size_t index = 0; index < count; index++) {
        const SoakShell& shell = SoakShells[index];
        fprintf(out, "%lu %lu %lu %lu %.1f %.1f %.1f %llu %llu\n", (unsigned long)index, (unsigned long)shell.processId,
                (unsigned long)shell.dueMs, (unsigned long)shell.lifetimeMs, shell.startedMs, shell.closedMs,
                shell.endedMs, shell.created, shell.exited);
    }
    fclose(out);
}

// Started on time beside the ones still living. Each step starts what is
// due and closes the input of those that have lived their lifetime, then
// waits on the living ones until the next of those is due, so that the
// soak itself asks the wine server for little beside the watch.
static void RunSoak(const std::string& schedulePath, const std::string& outputPath)
{
    size_t count = ReadSchedule(schedulePath.c_str());
    if (count == 0) {
        Answer("error no shells in " + schedulePath);
        return;
    }
    std::string environment = CleanEnvironment(std::string("PROMPT=$P$G\0", 12));
    LARGE_INTEGER origin;
    QueryPerformanceCounter(&origin);
    size_t next = 0;
    size_t first = 0;  // shells before it have all ended or failed to start
    size_t ended = 0;
    size_t failed = 0;
    while (ended + failed < count) {
        double now = MillisecondsSince(origin);
        while (next < count && now >= SoakShells[next].dueMs) {
            StartSoakShell(&SoakShells[next], environment, origin);
            if (SoakShells[next].process == NULL)
                failed++;
            next++;
            now = MillisecondsSince(origin);
        }
        double wake = next < count ? SoakShells[next].dueMs : now + 1000;
        HANDLE living[MAXIMUM_WAIT_OBJECTS];
        DWORD livingCount = 0;
        bool crowded = false;
        for (size_t index = first; index < next; index++) {
            SoakShell* shell = &SoakShells[index];
            if (shell->process == NULL)
                continue;
            if (WaitForSingleObject(shell->process, 0) == WAIT_OBJECT_0) {
                if (shell->input != NULL) {
                    CloseHandle(shell->input);
                    shell->input = NULL;
                }
                NoteSoakShellEnd(shell, origin);
                ended++;
                continue;
            }
            now = MillisecondsSince(origin);
            if (shell->input != NULL && now >= shell->startedMs + shell->lifetimeMs) {
                CloseHandle(shell->input);
                shell->input = NULL;
                shell->closedMs = now;
            } else if (shell->input == NULL && now > shell->closedMs + SOAK_END_TIMEOUT_MS) {
                TerminateProcess(shell->process, 9);
                WaitForSingleObject(shell->process, 10000);
                NoteSoakShellEnd(shell, origin);
                ended++;
                continue;
            }
            if (shell->input != NULL && shell->startedMs + shell->lifetimeMs < wake)
                wake = shell->startedMs + shell->lifetimeMs;
            if (livingCount < MAXIMUM_WAIT_OBJECTS)
                living[livingCount++] = shell->process;
            else
                crowded = true;
        }
        while (first < next && SoakShells[first].process == NULL)
            first++;
        now = MillisecondsSince(origin);
        DWORD timeout = wake <= now ? 0 : (DWORD)(wake - now) + 1;
        if (crowded || timeout > 1000)
            timeout = crowded ? 1 : 1000;
        if (livingCount > 0)
            WaitForMultipleObjects(livingCount, living, FALSE, timeout);
        else if (timeout > 0)
            Sleep(timeout);
    }
    WriteSoakShells(outputPath.c_str(), count);
    char text[160];
    _snprintf(text, sizeof(text) - 1, "soak started=%lu ended=%lu failed=%lu", (unsigned long)(count - failed),
              (unsigned long)ended, (unsigned long)failed);
    text[sizeof(text) - 1] = '\0';
    Answer(text);
}

static void EndPopulation(void)
{
    // Close every input first so that all targets end together.
    for (Target& target : Population) {
        CloseHandle(target.input);
        target.input = NULL;
    }
    for (Target& target : Population)
        StopTarget(&target);
    Population.clear();
}

int main(void)
{
    char command[COMMAND_CHARS];
    while (fgets(command, sizeof(command), stdin) != NULL) {
        std::string line(command);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.compare(0, 5, "grow ") == 0) {
            char* rest = NULL;
            size_t wanted = (size_t)strtoul(line.c_str() + 5, &rest, 10);
            std::string mode(rest);
            mode.erase(0, mode.find_first_not_of(' '));
            GrowPopulation(wanted, mode);
        } else if (line == "clear") {
            EndPopulation();
            Answer("population 0");
        } else if (line == "count") {
            CountProcesses();
        } else if (line.compare(0, 4, "run ") == 0 || line.compare(0, 7, "memory ") == 0) {
            bool watchMemory = line[0] == 'm';
            size_t start = line.find(' ') + 1;
            size_t space = line.find(' ', start);
            if (space == std::string::npos)
                Answer("error " + line.substr(0, start - 1) + " needs an output and a command");
            else
                RunTimed(line.substr(start, space - start), line.substr(space + 1), watchMemory);
        } else if (line.compare(0, 5, "soak ") == 0) {
            size_t space = line.find(' ', 5);
            if (space == std::string::npos)
                Answer("error soak needs a schedule and an output");
            else
                RunSoak(line.substr(5, space - 5), line.substr(space + 1));
        } else if (line == "quit") {
            break;
        } else {
            Answer("error unknown command " + line);
        }
    }
    EndPopulation();
    Answer("ended");
    return 0;
}
