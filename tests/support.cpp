#include "support.h"

#include <stdio.h>
#include <string.h>

#include "target_modes.h"

static const DWORD READY_TIMEOUT_MS = 60000;

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
    TargetStart start = {creationFlags, 0, 0, true, NULL};
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
    CloseHandle(childOutput);
    CloseHandle(childErrors);
    CloseHandle(childInput);
    if (started) {
        DWORD waited = 0;
        for (;;) {
            Drain(output, &result.output);
            Drain(errors, &result.errors);
            if (WaitForSingleObject(info.hProcess, 10) == WAIT_OBJECT_0) {
                result.finished = true;
                break;
            }
            waited += 10;
            if (waited >= timeoutMilliseconds) {
                TerminateProcess(info.hProcess, 9);
                WaitForSingleObject(info.hProcess, 10000);
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
