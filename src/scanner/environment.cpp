// Follows the target's own records (basic information -> PEB -> process
// parameters -> environment) with read-only access and tests the block; for
// a WOW64 process also the 32-bit records, whose environment is the copy its
// 32-bit code reads and updates.
#include "environment.h"

#include <string.h>
#include <wchar.h>

#include "envblock.h"
#include "text.h"

typedef LONG(NTAPI* NtQueryInformationProcessFunction)(HANDLE process, ULONG informationClass, PVOID buffer,
                                                       ULONG length, PULONG returnLength);

QueryProcessInformationFunction QueryWow64InformationEntry = QueryProcessInformation;

ULONG_PTR ReadPointerAt(const unsigned char* image, size_t offset, size_t pointerBytes)
{
    // Images are plain byte buffers: copy rather than cast to stay aligned.
    ULONG_PTR value = 0;
    memcpy(&value, image + offset, pointerBytes);
    return value;
}

LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength)
{
    // Looked up once per run: ntdll is mapped into every process and stays.
    static NtQueryInformationProcessFunction query = NULL;
    static int resolved = 0;
    if (!resolved) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll != NULL)
            query = (NtQueryInformationProcessFunction)(void*)GetProcAddress(ntdll, "NtQueryInformationProcess");
        resolved = 1;
    }
    if (query == NULL)
        return -1;
    return query(process, informationClass, buffer, length, (PULONG)returnLength);
}

int QueryReadableRegion(HANDLE process, const void* address, DWORD* regionSize)
{
    MEMORY_BASIC_INFORMATION region;
    *regionSize = 0;
    if (VirtualQueryEx(process, address, &region, sizeof(region)) != sizeof(region))
        return 0;
    if (region.Protect == PAGE_NOACCESS || region.Protect == PAGE_EXECUTE)
        return 0;

    // Bytes from the address itself to the region's end, compared in full
    // width and only then narrowed: a 4 GiB region must not become 0.
    ULONG_PTR regionEnd = (ULONG_PTR)region.BaseAddress + region.RegionSize;
    ULONG_PTR start = (ULONG_PTR)address;
    if (regionEnd <= start)
        return 0;
    ULONG_PTR available = regionEnd - start;
    *regionSize = available > MAXDWORD ? MAXDWORD : (DWORD)available;
    return 1;
}

HANDLE OpenProcessForRead(DWORD processId)
{
    return OpenProcess(PROCESS_READ_ACCESS, FALSE, processId);
}

// From a process-parameters address to the environment block, the same way
// for both layouts: each record's region is checked before it is read, and
// the block is read up to its region's end or the buffer's size. Gives the
// bytes readable from the parameters address through readable (0 when none).
static int ReadEnvironmentFromParameters(HANDLE process, const void* parameters, DWORD parametersBytes,
                                         size_t environmentOffset, size_t pointerBytes, void* buffer, DWORD* size,
                                         DWORD* readable)
{
    DWORD regionSize = 0;
    *readable = 0;
    if (!QueryReadableRegion(process, parameters, &regionSize))
        return 0;
    *readable = regionSize;

    unsigned char parametersImage[PARAMETERS_IMAGE_BYTES];
    memset(parametersImage, 0, sizeof(parametersImage));
    if (parametersBytes > sizeof(parametersImage) ||
        !ReadProcessMemory(process, parameters, parametersImage, parametersBytes, NULL))
        return 0;

    const void* environment = (const void*)ReadPointerAt(parametersImage, environmentOffset, pointerBytes);
    if (!QueryReadableRegion(process, environment, &regionSize))
        return 0;

    memset(buffer, 0, *size);
    if (regionSize < *size)
        *size = regionSize;
    SIZE_T copied = 0;
    if (!ReadProcessMemory(process, environment, buffer, *size, &copied) || copied == 0)
        return 0;
    *size = (DWORD)copied;
    return 1;
}

// The process-parameters address from the 64-bit PEB, or from the 32-bit PEB
// of a WOW64 process; 1 when the records on the way could be read.
static int FindProcessParameters(HANDLE process, ULONG_PTR* parameters)
{
    unsigned char basicInformation[BASIC_INFORMATION_BYTES];
    DWORD returnLength = 0;
    *parameters = 0;
    memset(basicInformation, 0, sizeof(basicInformation));
    if (QueryProcessInformation(process, 0, basicInformation, sizeof(basicInformation), &returnLength) != 0)
        return 0;

    unsigned char pebImage[PEB_IMAGE_BYTES];
    memset(pebImage, 0, sizeof(pebImage));
    const void* peb = (const void*)ReadPointerAt(basicInformation, BASIC_INFORMATION_PEB_OFFSET, sizeof(void*));
    if (!ReadProcessMemory(process, peb, pebImage, sizeof(pebImage), NULL))
        return 0;
    *parameters = ReadPointerAt(pebImage, PEB_PARAMETERS_OFFSET, sizeof(void*));
    return 1;
}

static int FindProcessParameters32(HANDLE process, ULONG_PTR peb32, ULONG_PTR* parameters)
{
    unsigned char pebImage[PEB32_IMAGE_BYTES];
    *parameters = 0;
    memset(pebImage, 0, sizeof(pebImage));
    if (!ReadProcessMemory(process, (const void*)peb32, pebImage, sizeof(pebImage), NULL))
        return 0;
    *parameters = ReadPointerAt(pebImage, PEB32_PARAMETERS_OFFSET, sizeof(DWORD));
    return 1;
}

// Both answer where the records led (0 when they did not get that far).
static int ReadEnvironmentOfView(HANDLE process, ULONG_PTR peb32, void* buffer, DWORD* size,
                                 PARAMETERS_RECORD* record)
{
    record->address = 0;
    record->readable = 0;
    if (peb32 == 0) {
        if (!FindProcessParameters(process, &record->address))
            return 0;
        return ReadEnvironmentFromParameters(process, (const void*)record->address, PARAMETERS_IMAGE_BYTES,
                                             PARAMETERS_ENVIRONMENT_OFFSET, sizeof(void*), buffer, size,
                                             &record->readable);
    }
    if (!FindProcessParameters32(process, peb32, &record->address))
        return 0;
    return ReadEnvironmentFromParameters(process, (const void*)record->address, PARAMETERS32_IMAGE_BYTES,
                                         PARAMETERS32_ENVIRONMENT_OFFSET, sizeof(DWORD), buffer, size,
                                         &record->readable);
}

int ReadProcessEnvironment(HANDLE process, void* buffer, DWORD* size)
{
    PARAMETERS_RECORD record;
    return ReadEnvironmentOfView(process, 0, buffer, size, &record);
}

int ReadProcessEnvironment32(HANDLE process, ULONG_PTR peb32, void* buffer, DWORD* size)
{
    PARAMETERS_RECORD record;
    return ReadEnvironmentOfView(process, peb32, buffer, size, &record);
}

ULONG_PTR QueryPeb32Address(HANDLE process)
{
    ULONG_PTR peb32 = 0;
    DWORD returnLength = 0;
    if (QueryWow64InformationEntry == NULL ||
        QueryWow64InformationEntry(process, PROCESS_WOW64_INFORMATION, &peb32, sizeof(peb32), &returnLength) != 0)
        return 0;
    return peb32;
}

// Tests a block and, on a match, copies the entry into the match.
static int TakePromptEntry(const ENV_CHAR* block, size_t characters, PROMPT_MATCH* match)
{
    size_t start = 0;
    size_t length = 0;
    if (!FindPromptEntryInBlock(block, characters, &start, &length))
        return 0;
    CopyWideText(match->entry, PROMPT_ENTRY_CHARS + 1, (const WCHAR*)(block + start), length);
    match->entryChars = (DWORD)wcslen(match->entry);
    return 1;
}

int TestProcessEnvironment(HANDLE process, PROMPT_MATCH* match)
{
    match->peb32 = 0;
    match->in32BitView = 0;
    match->entryChars = 0;
    match->entry[0] = 0;
    match->parameters32.address = 0;
    match->parameters32.readable = 0;

    // Whatever arrived is tested, even from a read that stopped part-way; a
    // reader that gave up early leaves the buffer all zero.
    ENV_CHAR block[ENV_BUFFER_BYTES / sizeof(ENV_CHAR)];
    DWORD size = sizeof(block);
    memset(block, 0, sizeof(block));
    ReadEnvironmentOfView(process, 0, block, &size, &match->parameters);
    int found = TakePromptEntry(block, sizeof(block) / sizeof(block[0]), match);

    // The 64-bit copy of a WOW64 process keeps what it inherited at creation;
    // its 32-bit code sets and changes only its own copy (cmd.exe's PROMPT
    // among them), so that copy is tested too and its entry preferred.
    match->peb32 = QueryPeb32Address(process);
    if (match->peb32 != 0) {
        size = sizeof(block);
        memset(block, 0, sizeof(block));
        ReadEnvironmentOfView(process, match->peb32, block, &size, &match->parameters32);
        if (TakePromptEntry(block, sizeof(block) / sizeof(block[0]), match)) {
            match->in32BitView = 1;
            found = 1;
        }
    }
    return found;
}

int FindPromptEntry(DWORD processId, PROMPT_MATCH* match)
{
    match->opened = 0;
    HANDLE process = OpenProcessForRead(processId);
    if (process == NULL) {
        match->peb32 = 0;
        match->entryChars = 0;
        match->entry[0] = 0;
        return 0;
    }
    match->opened = 1;
    int found = TestProcessEnvironment(process, match);
    CloseHandle(process);
    return found;
}

int IsCommandPromptProcess(DWORD processId)
{
    PROMPT_MATCH match;
    return FindPromptEntry(processId, &match);
}
