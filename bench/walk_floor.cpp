// The walk floor: the least any scan of every process can do. It walks the
// process snapshot and opens and closes each process with the access the
// tool asks for, and prints nothing (see floor_clock.h for "-r"). It imports
// the same system DLLs as the tool (the token lookup below never runs), so
// that its start-up under Wine costs the same.
#include <windows.h>

#include <tlhelp32.h>

#include "floor_clock.h"

#define TOOL_READ_ACCESS (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)

int main(int argc, char** argv)
{
    if (argc > 1000) {
        HANDLE token = NULL;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            CloseHandle(token);
    }
    FloorCounts counts = {0, 0, 0, 0};
    LARGE_INTEGER start = ReadClock();

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    DWORD ownProcessId = GetCurrentProcessId();
    if (Process32First(snapshot, &entry)) {
        do {
            counts.processes++;
            if (entry.th32ProcessID == ownProcessId)
                continue;
            HANDLE process = OpenProcess(TOOL_READ_ACCESS, FALSE, entry.th32ProcessID);
            if (process == NULL)
                continue;
            counts.opened++;
            CloseHandle(process);
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);

    double work = MicrosecondsSince(start);
    if (HasOption(argc, argv, "-r"))
        ReportFloor(work, &counts);
    return 0;
}
