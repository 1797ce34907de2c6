// Reads and walks the system's process list. The records and the names they
// point at all lie in one buffer the system filled; nothing in it is used
// before its offset is checked against that buffer.
#include "processlist.h"

#include "systemfunction.h"

typedef LONG(NTAPI* NtQuerySystemInformationFunction)(ULONG informationClass, PVOID buffer, ULONG length,
                                                      PULONG returnLength);

QuerySystemInformationFunction QuerySystemInformationEntry = QuerySystemInformation;

static unsigned char* ListBuffer = NULL;
static DWORD ListBufferBytes = 0;

static const WCHAR NO_NAME[1] = {0};

LONG QuerySystemInformation(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    static SYSTEM_FUNCTION function = {"ntdll.dll", "NtQuerySystemInformation", 0, 0, NULL};
    NtQuerySystemInformationFunction query = (NtQuerySystemInformationFunction)(void*)FindSystemFunction(&function);
    if (query == NULL)
        return -1;
    return query(informationClass, buffer, length, (PULONG)returnLength);
}

// Replaces the buffer by one of bytes; what it held is not kept.
static int ResizeListBuffer(DWORD bytes)
{
    if (ListBuffer != NULL)
        HeapFree(GetProcessHeap(), 0, ListBuffer);
    ListBuffer = (unsigned char*)HeapAlloc(GetProcessHeap(), 0, bytes);
    ListBufferBytes = ListBuffer != NULL ? bytes : 0;
    return ListBuffer != NULL;
}

int ReadProcessList(PROCESS_LIST* list, LONG* status)
{
    list->records = NULL;
    list->bytes = 0;
    *status = 0;
    if (ListBuffer == NULL && !ResizeListBuffer(PROCESS_LIST_FIRST_BYTES)) {
        *status = STATUS_NO_MEMORY_VALUE;
        return 0;
    }
    for (;;) {
        DWORD returned = 0;
        *status = QuerySystemInformationEntry(SYSTEM_PROCESS_INFORMATION_CLASS, ListBuffer, ListBufferBytes,
                                              &returned);
        if (*status == 0) {
            list->records = ListBuffer;
            list->bytes = returned < ListBufferBytes ? returned : ListBufferBytes;
            return 1;
        }
        if (*status != STATUS_INFO_LENGTH_MISMATCH_VALUE && *status != STATUS_BUFFER_TOO_SMALL_VALUE)
            return 0;
        // Processes start between the calls: room beyond what was asked for.
        DWORD wanted = ListBufferBytes * 2;
        if (returned > ListBufferBytes && returned / 2 * 3 > wanted)
            wanted = returned / 2 * 3;
        if (ListBufferBytes >= PROCESS_LIST_CEILING_BYTES)
            return 0;
        if (wanted > PROCESS_LIST_CEILING_BYTES)
            wanted = PROCESS_LIST_CEILING_BYTES;
        if (!ResizeListBuffer(wanted)) {
            *status = STATUS_NO_MEMORY_VALUE;
            return 0;
        }
    }
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
