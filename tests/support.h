// Shared helpers of the test programs: start targets, run programs with their
// output on pipes, and build the expected texts.
#ifndef MURKSCOPE_TEST_SUPPORT_H
#define MURKSCOPE_TEST_SUPPORT_H

#include <windows.h>

#include <string>

struct Target {
    PROCESS_INFORMATION info;
    HANDLE input;   // our end of the target's standard input; closing it ends the target
    HANDLE output;  // our end of its standard output
    HANDLE stop;    // for a target started without standard handles: setting it ends the target
};

// How a target is started beyond its command line.
struct TargetStart {
    DWORD creationFlags;
    DWORD startFlags;       // STARTF_* beyond STARTF_USESTDHANDLES
    WORD showWindow;        // with STARTF_USESHOWWINDOW
    bool standardHandles;   // pipes for its standard handles, ready byte 'R' on them; else the
                            // named events "Local\murk-ready-<id>" and "Local\murk-stop-<id>"
    const wchar_t* directory;  // or NULL for ours
    const wchar_t* desktop;    // "WinSta0\\Other", or NULL for ours
};

// Starts a whole command line (the program's path first) as a target.
bool StartTargetCommand(const std::wstring& commandLine, const TargetStart& start, Target* target);

// Starts "<bin>\program mode" with a clean environment and waits for its
// ready byte 'R' on standard output.
bool StartTargetProgram(const char* program, const char* mode, DWORD creationFlags, Target* target);
// The same for "<bin>\murk_target.exe mode", windowless.
bool StartTarget(const char* mode, Target* target);
// The same for a wow64 mode, which also reports the address of the 32-bit
// view it built.
bool StartWow64Target(const char* mode, Target* target, ULONG_PTR* peb32);
// Closes the target's input, waits for it to end (killing it after a while).
void StopTarget(Target* target);

// The longest a test waits for one run of the tool (support.cpp says why).
const DWORD TOOL_RUN_BOUND_MS = 75000;

struct RunResult {
    bool finished;  // ended within the time allowed
    DWORD exitCode;
    std::string output;  // standard output, bytes as written
    std::string errors;  // standard error
};

// Runs a command line with standard output and standard error on pipes.
// environment: a block (entries ended by an empty one), or empty for ours.
// A run still going after the time allowed is a stall: it fails the current
// test with where the program waited (WaitForTool) and is ended.
RunResult RunProgram(const std::string& commandLine, const std::string& environment, DWORD creationFlags,
                     DWORD timeoutMilliseconds);

// Starts the tool with these arguments, detached, with our environment less
// any prompt entry, and its standard output and error on output.
bool StartToolWithOutput(const std::string& arguments, HANDLE output, PROCESS_INFORMATION* info);

// Waits up to milliseconds for a started tool to end; when it has not, fails
// the current test naming the call each of its threads waited in and the
// targets held, and ends it. True when it ended by itself.
bool WaitForTool(const PROCESS_INFORMATION& info, DWORD milliseconds);

// Our own environment without any entry beginning with "prompt", plus extra
// entries (each ended by '\0'), as a block.
std::string CleanEnvironment(const std::string& extraEntries);

// Folder of the test programs and the tool, with a trailing backslash.
std::string BinDirectory();
// Our current directory as a child started in it is given it: with a
// trailing backslash.
std::string CurrentDirectory();
std::string ToolPath();

// The CRT writes standard output in text mode: every "\n" leaves as "\r\n".
std::string ToCrLf(const std::string& text);

std::string CurrentUserName();

std::wstring Widen(const std::string& text);
std::string Utf8(const std::wstring& text);

#endif
