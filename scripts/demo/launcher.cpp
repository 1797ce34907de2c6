// murk_demo_launcher: starts cmd.exe the way a dropper, a web shell or a
// remote-execution tool starts one, so that scripts/run has a shell that
// shows the signs Murkscope64 -j reports for a hidden shell:
//   started-hidden    STARTF_USESHOWWINDOW with SW_HIDE
//   no-window         it shares this program's console, which has no window
//                     (scripts/run starts it without a terminal)
//   redirected-stdio  STARTF_USESTDHANDLES, the standard handles this program
//                     was given (scripts/run hands it pipes)
//   parent-gone       this program ends right after CreateProcess
// It writes the shell's process id and a line end to standard output before
// it ends; the shell then keeps the same handles, so it reads its commands
// from whatever this program's standard input was and ends at "exit" or at
// the end of that input.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#define SHELL_COMMAND "cmd.exe /q"
#define SHELL_COMMAND_CHARS 64
#define ID_TEXT_CHARS 32

// The child gets the handles only when they can be inherited; handles that
// Wine or a console made for this process need not be.
static int MakeInheritable(HANDLE handle)
{
    if (handle == NULL || handle == INVALID_HANDLE_VALUE)
        return 0;
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ? 1 : 0;
}

static int StartHiddenShell(DWORD* shellId)
{
    // CreateProcessA may write into the command line, so it is a copy.
    char commandLine[SHELL_COMMAND_CHARS];
    strcpy(commandLine, SHELL_COMMAND);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!MakeInheritable(startup.hStdInput) || !MakeInheritable(startup.hStdOutput))
        return 0;
    // Standard error may be missing; the shell then writes its errors nowhere.
    MakeInheritable(startup.hStdError);

    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return 0;
    *shellId = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

static int WriteShellId(DWORD shellId)
{
    char text[ID_TEXT_CHARS];
    int length = _snprintf(text, sizeof(text) - 1, "%lu\n", (unsigned long)shellId);
    if (length <= 0)
        return 0;
    // Straight to the handle: the reader waits for this line while the shell
    // holds the same pipe open.
    DWORD written = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)length, &written, NULL) &&
           written == (DWORD)length;
}

int main(void)
{
    DWORD shellId = 0;
    if (!StartHiddenShell(&shellId)) {
        fprintf(stderr, "murk_demo_launcher: cannot start %s (error %lu)\n", SHELL_COMMAND,
                (unsigned long)GetLastError());
        return 1;
    }
    return WriteShellId(shellId) ? 0 : 1;
}
