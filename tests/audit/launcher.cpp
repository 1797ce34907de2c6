// Holds a known set of test targets for the call audit: writes "launcher
// <its own id>", starts one murk_target.exe per mode argument, writes "<mode>
// <process id>" for each and then "ready" to standard output, and keeps the
// targets running until its own standard input closes. The host side needs the
// ids to tell the targets' kinds apart in the trace, which shows only ids.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "support.h"

#define MAX_TARGETS 16

static void WriteText(const char* text)
{
    // Straight to the handle: the host reads it line by line while we wait.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

static void WaitForInputEnd(void)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char chunk[64];
    DWORD read = 0;
    while (ReadFile(input, chunk, sizeof(chunk), &read, NULL) && read != 0) {
    }
}

int main(int argc, char** argv)
{
    static Target targets[MAX_TARGETS];
    int started = 0;
    int failed = 0;
    if (argc < 2 || argc - 1 > MAX_TARGETS) {
        WriteText("usage: audit_launcher mode...\n");
        return 2;
    }
    char line[128];
    _snprintf(line, sizeof(line) - 1, "launcher %lu\n", (unsigned long)GetCurrentProcessId());
    line[sizeof(line) - 1] = '\0';
    WriteText(line);
    for (int index = 1; index < argc; index++) {
        if (!StartTarget(argv[index], &targets[started])) {
            _snprintf(line, sizeof(line) - 1, "failed %s\n", argv[index]);
            line[sizeof(line) - 1] = '\0';
            WriteText(line);
            failed = 1;
            break;
        }
        _snprintf(line, sizeof(line) - 1, "%s %lu\n", argv[index],
                  (unsigned long)targets[started].info.dwProcessId);
        line[sizeof(line) - 1] = '\0';
        WriteText(line);
        started++;
    }
    if (!failed) {
        WriteText("ready\n");
        WaitForInputEnd();
    }
    for (int index = 0; index < started; index++)
        StopTarget(&targets[index]);
    return failed ? 1 : 0;
}
