// Reads and walks the system's process list. The records and the names they
// point at all lie in one buffer the system filled; nothing in it is used
// before its offset is checked against that buffer.
#include "processlist.h"

#include <string.h>

typedef LONG(NTAPI* NtQuerySystemInformationFunction)(ULONG informationClass, PVOID buffer, ULONG length,
                                                      PULONG returnLength);

QuerySystemInformationFunction QuerySystemInformationEntry = QuerySystemInformation;

static unsigned char* ListBuffer = NULL;
static DWORD ListBufferBytes = 0;

static const WCHAR NO_NAME[1] = {0};

LONG QuerySystemInformation(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    static NtQuerySystemInformationFunction query = NULL;
    static int resolved = 0;
    if (!resolved) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll != NULL)
            query = (NtQuerySystemInformationFunction)(void*)GetProcAddress(ntdll, "NtQuerySystemInformation");
        resolved = 1;
    }
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

static DWORD ReadNumberAt(const unsigned char* record, size_t offset)
{
    DWORD value = 0;
    memcpy(&value, record + offset, sizeof(value));
    return value;
}

static ULONG_PTR ReadPointerSizedAt(const unsigned char* record, size_t offset)
{
    ULONG_PTR value = 0;
    memcpy(&value, record + offset, sizeof(value));
    return value;
}

int NextListedProcess(const PROCESS_LIST* list, DWORD* position, LISTED_PROCESS* process)
{
    DWORD at = *position;
    if (list->records == NULL || at > list->bytes || list->bytes - at < LIST_RECORD_BYTES)
        return 0;
    const unsigned char* record = list->records + at;
    DWORD next = ReadNumberAt(record, LIST_NEXT_OFFSET);
    // The last record has no next; one that would not fit ends the walk.
    *position = next >= LIST_RECORD_BYTES && next <= list->bytes - at ? at + next : list->bytes;

    process->processId = (DWORD)ReadPointerSizedAt(record, LIST_PROCESS_ID_OFFSET);
    process->parentProcessId = (DWORD)ReadPointerSizedAt(record, LIST_PARENT_ID_OFFSET);
    memcpy(&process->created, record + LIST_CREATE_TIME_OFFSET, sizeof(process->created));
    process->session = ReadNumberAt(record, LIST_SESSION_OFFSET);

    USHORT nameBytes = 0;
    memcpy(&nameBytes, record + LIST_IMAGE_NAME_OFFSET, sizeof(nameBytes));
    ULONG_PTR name = ReadPointerSizedAt(record, LIST_IMAGE_NAME_OFFSET + 8);
    ULONG_PTR first = (ULONG_PTR)list->records;
    process->name = NO_NAME;
    process->nameChars = 0;
    if (nameBytes % sizeof(WCHAR) == 0 && name % sizeof(WCHAR) == 0 && name >= first &&
        name - first <= list->bytes && nameBytes <= list->bytes - (name - first)) {
        process->name = (const WCHAR*)name;
        process->nameChars = nameBytes / sizeof(WCHAR);
    }
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
