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
