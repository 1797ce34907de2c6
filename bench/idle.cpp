// Does nothing: its run time under Wine is the fixed cost of starting and
// ending a process, which the benchmark takes off the tool's and the floors'.
// It imports the same system DLLs as the tool (the lookup below never runs),
// so that the loader's work at start-up is the same.
#include <windows.h>

int main(int argc, char** argv)
{
    (void)argv;
    if (argc > 1000) {
        HANDLE token = NULL;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            CloseHandle(token);
    }
    return 0;
}
