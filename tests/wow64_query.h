// A replacement of the tool's ProcessWow64Information query: Wine here runs
// no 32-bit process, so a test names the processes to be taken as WOW64 and
// the address of the 32-bit view each built; every other process goes to the
// real query.
#ifndef MURKSCOPE_WOW64_QUERY_H
#define MURKSCOPE_WOW64_QUERY_H

#include <windows.h>

#include <string.h>

#include "environment.h"

#define FAKE_WOW64_PROCESSES 8

struct FakeWow64Process {
    DWORD processId;
    ULONG_PTR peb32;
};

static FakeWow64Process FakeWow64Processes[FAKE_WOW64_PROCESSES];
static int FakeWow64Queries = 0;

static LONG FakeWow64Query(HANDLE process, DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    FakeWow64Queries++;
    DWORD processId = GetProcessId(process);
    for (const FakeWow64Process& fake : FakeWow64Processes) {
        if (fake.processId != 0 && fake.processId == processId && informationClass == PROCESS_WOW64_INFORMATION &&
            length == sizeof(ULONG_PTR)) {
            memcpy(buffer, &fake.peb32, sizeof(fake.peb32));
            *returnLength = sizeof(ULONG_PTR);
            return 0;
        }
    }
    return QueryProcessInformation(process, informationClass, buffer, length, returnLength);
}

// Takes processId as WOW64 with its 32-bit PEB at peb32 from now on.
static inline void AnswerWow64Query(DWORD processId, ULONG_PTR peb32)
{
    for (FakeWow64Process& fake : FakeWow64Processes) {
        if (fake.processId == 0 || fake.processId == processId) {
            fake.processId = processId;
            fake.peb32 = peb32;
            break;
        }
    }
    QueryWow64InformationEntry = FakeWow64Query;
}

static inline void RestoreWow64Query(void)
{
    memset(FakeWow64Processes, 0, sizeof(FakeWow64Processes));
    QueryWow64InformationEntry = QueryProcessInformation;
}

#endif
