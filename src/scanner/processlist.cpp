// Reads and walks the system's process list. The records and the names they
// point at all lie in one buffer the system filled; nothing in it is used
// before its offset is checked against that buffer.
#include "processlist.h"

#include "growbuffer.h"
#include "systemfunction.h"

typedef LONG(NTAPI* NtQuerySystemInformationFunction)(ULONG informationClass, PVOID buffer, ULONG length,
                                                      PULONG returnLength);

QuerySystemInformationFunction QuerySystemInformationEntry = QuerySystemInformation;

static GROWING_BUFFER ListBuffer = {NULL, 0, PROCESS_LIST_FIRST_BYTES, PROCESS_LIST_CEILING_BYTES};

static const WCHAR NO_NAME[1] = {0};

LONG QuerySystemInformation(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    static SYSTEM_FUNCTION function = {"ntdll.dll", "NtQuerySystemInformation", 0, 0, NULL};
    NtQuerySystemInformationFunction query = (NtQuerySystemInformationFunction)(void*)FindSystemFunction(&function);
    if (query == NULL)
        return -1;
    return query(informationClass, buffer, length, (PULONG)returnLength);
}

// One read of the list into the buffer, with the system's status kept.
static int FillProcessList(void* context, unsigned char* buffer, DWORD size, DWORD* bytes)
{
    LONG* status = (LONG*)context;
    *status = QuerySystemInformationEntry(SYSTEM_PROCESS_INFORMATION_CLASS, buffer, size, bytes);
    if (*status == 0)
        return FILL_DONE;
    return *status == STATUS_INFO_LENGTH_MISMATCH_VALUE || *status == STATUS_BUFFER_TOO_SMALL_VALUE ? FILL_TOO_SMALL
                                                                                                    : FILL_FAILED;
}

int ReadProcessList(PROCESS_LIST* list, LONG* status)
{
    DWORD filled = 0;
    list->records = NULL;
    list->bytes = 0;
    *status = 0;
    int answer = FillGrowingBuffer(&ListBuffer, FillProcessList, status, &filled);
    if (answer == FILL_TOO_SMALL)
        *status = STATUS_NO_MEMORY_VALUE;
    if (answer != FILL_DONE)
        return 0;
    list->records = ListBuffer.bytes;
    list->bytes = filled;
    return 1;
}

int NextListedProcess(const PROCESS_LIST* list, DWORD* position, LISTED_PROCESS* process)
{
    size_t at = *position;
    LIST_RECORD record;
    if (!WalkListRecord(list->records, list->bytes, (ULONG_PTR)list->records, &at, &record))
        return 0;
    *position = (DWORD)at;
    process->processId = record.processId;
    process->parentProcessId = record.parentProcessId;
    process->created = record.created;
    process->session = record.session;
    process->name = record.nameChars > 0 ? (const WCHAR*)(list->records + record.nameOffset) : NO_NAME;
    process->nameChars = (DWORD)record.nameChars;
    return 1;
}

int FindListedProcess(const PROCESS_LIST* list, DWORD processId, LISTED_PROCESS* process)
{
    DWORD position = 0;
    while (NextListedProcess(list, &position, process))
        if (process->processId == processId)
            return 1;
    return 0;
}

static ULONGLONG ReadCreationTime(HANDLE process)
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (ULONGLONG)created.dwHighDateTime << 32 | created.dwLowDateTime;
}

int IsHandleOfListedProcess(HANDLE process, const LISTED_PROCESS* listed)
{
    ULONGLONG created = ReadCreationTime(process);
    return created == 0 || listed->created == 0 || created == listed->created;
}
