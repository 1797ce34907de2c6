// Follows the target's own records (basic information -> PEB -> process
// parameters -> environment) with read-only access and tests the block; for
// a WOW64 process also the 32-bit records, whose environment is the copy its
// 32-bit code reads and updates.
#include "environment.h"

#include <string.h>
#include <wchar.h>

#include "envblock.h"
#include "systemfunction.h"
#include "text.h"

typedef LONG(NTAPI* NtQueryInformationProcessFunction)(HANDLE process, ULONG informationClass, PVOID buffer,
                                                       ULONG length, PULONG returnLength);

QueryProcessInformationFunction QueryWow64InformationEntry = QueryProcessInformation;

// Where one view's records lead to its environment block.
typedef struct ENVIRONMENT_PLACE {
    const void* address;
    DWORD readable;  // bytes from the address to its region's end
} ENVIRONMENT_PLACE;


// The shell test's block buffer: allocated at the first test, grown to the
// largest block met up to ENV_CEILING_BYTES, and kept for the rest of the
// run, which tests every process with it.
static unsigned char* BlockBuffer = NULL;
static DWORD BlockBufferBytes = 0;

LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength)
{
    static SYSTEM_FUNCTION function = {"ntdll.dll", "NtQueryInformationProcess", 0, 0, NULL};
    NtQueryInformationProcessFunction query = (NtQueryInformationProcessFunction)(void*)FindSystemFunction(&function);
    if (query == NULL)
        return -1;
    return query(process, informationClass, buffer, length, (PULONG)returnLength);
}

// The region check of a region already described: committed, readable and
// no guard page; the bytes from address to its end in *regionSize.
static int CheckReadableRegion(const MEMORY_BASIC_INFORMATION* region, const void* address, DWORD* regionSize)
{
    *regionSize = 0;
    // A read of a guard page can take the target's one-shot guard away, and
    // reserved or free memory holds nothing the system wrote: neither is read.
    if (region->State != MEM_COMMIT || (region->Protect & PAGE_GUARD) != 0)
        return 0;
    if (region->Protect == PAGE_NOACCESS || region->Protect == PAGE_EXECUTE)
        return 0;

    // Bytes from the address itself to the region's end, compared in full
    // width and only then narrowed: a 4 GiB region must not become 0.
    ULONG_PTR regionEnd = (ULONG_PTR)region->BaseAddress + region->RegionSize;
    ULONG_PTR start = (ULONG_PTR)address;
    if (regionEnd <= start)
        return 0;
    ULONG_PTR available = regionEnd - start;
    *regionSize = available > MAXDWORD ? MAXDWORD : (DWORD)available;
    return 1;
}

int QueryReadableRegion(HANDLE process, const void* address, DWORD* regionSize)
{
    MEMORY_BASIC_INFORMATION region;
    *regionSize = 0;
    if (VirtualQueryEx(process, address, &region, sizeof(region)) != sizeof(region))
        return 0;
    return CheckReadableRegion(&region, address, regionSize);
}

int QueryImageStart(HANDLE process, ULONG_PTR imageBase, DWORD* regionSize)
{
    MEMORY_BASIC_INFORMATION region;
    *regionSize = 0;
    if (VirtualQueryEx(process, (const void*)imageBase, &region, sizeof(region)) != sizeof(region))
        return 0;
    // The system maps an image as one allocation of its own: a PEB pointed
    // at private memory, or into the middle of something, names no image.
    if (region.Type != MEM_IMAGE || (ULONG_PTR)region.AllocationBase != imageBase)
        return 0;
    return CheckReadableRegion(&region, (const void*)imageBase, regionSize);
}

HANDLE OpenProcessForRead(DWORD processId)
{
    return OpenProcess(PROCESS_READ_ACCESS, FALSE, processId);
}

// Reads the environment pointer of a parameters record whose region was
// found readable, the same way for both layouts.
static int ReadEnvironmentPointer(HANDLE process, const PARAMETERS_RECORD* record, DWORD parametersBytes,
                                  size_t environmentOffset, size_t pointerBytes, const void** environment)
{
    unsigned char parametersImage[PARAMETERS_IMAGE_BYTES];
    memset(parametersImage, 0, sizeof(parametersImage));
    if (parametersBytes > sizeof(parametersImage) ||
        !ReadProcessMemory(process, (const void*)record->address, parametersImage, parametersBytes, NULL))
        return 0;
    *environment = (const void*)ReadPointerAt(parametersImage, environmentOffset, pointerBytes);
    return 1;
}

// The environment pointer of either layout's parameters record.
static int ReadViewEnvironmentPointer(HANDLE process, ULONG_PTR peb32, const PARAMETERS_RECORD* record,
                                      const void** environment)
{
    return peb32 == 0 ? ReadEnvironmentPointer(process, record, PARAMETERS_IMAGE_BYTES, PARAMETERS_ENVIRONMENT_OFFSET,
                                               sizeof(void*), environment)
                      : ReadEnvironmentPointer(process, record, PARAMETERS32_IMAGE_BYTES,
                                               PARAMETERS32_ENVIRONMENT_OFFSET, sizeof(DWORD), environment);
}

// From a process-parameters address to the environment block: each record's
// region is checked before it is read. Records the bytes readable from the
// parameters address in record.
static int LocateEnvironment(HANDLE process, ULONG_PTR peb32, PARAMETERS_RECORD* record, ENVIRONMENT_PLACE* place)
{
    DWORD regionSize = 0;
    record->readable = 0;
    if (!QueryReadableRegion(process, (const void*)record->address, &regionSize))
        return 0;
    record->readable = regionSize;
    return ReadViewEnvironmentPointer(process, peb32, record, &place->address) &&
           QueryReadableRegion(process, place->address, &place->readable);
}

// The process-parameters address from the 64-bit PEB, and on the way the
// main image's address, which costs no read of its own.
int FindProcessParameters(HANDLE process, ULONG_PTR* parameters, ULONG_PTR* imageBase)
{
    unsigned char basicInformation[BASIC_INFORMATION_BYTES];
    DWORD returnLength = 0;
    *parameters = 0;
    memset(basicInformation, 0, sizeof(basicInformation));
    if (QueryProcessInformation(process, 0, basicInformation, sizeof(basicInformation), &returnLength) != 0)
        return RECORDS_UNREADABLE;

    const void* peb = (const void*)ReadPointerAt(basicInformation, BASIC_INFORMATION_PEB_OFFSET, sizeof(void*));
    if (peb == NULL)
        return RECORDS_NONE;
    unsigned char pebImage[PEB_IMAGE_BYTES];
    memset(pebImage, 0, sizeof(pebImage));
    if (!ReadProcessMemory(process, peb, pebImage, sizeof(pebImage), NULL))
        return RECORDS_UNREADABLE;
    *parameters = ReadPointerAt(pebImage, PEB_PARAMETERS_OFFSET, sizeof(void*));
    *imageBase = ReadPointerAt(pebImage, PEB_IMAGE_BASE_OFFSET, sizeof(void*));
    return RECORDS_FOLLOWED;
}

static int FindProcessParameters32(HANDLE process, ULONG_PTR peb32, ULONG_PTR* parameters)
{
    unsigned char pebImage[PEB32_IMAGE_BYTES];
    *parameters = 0;
    memset(pebImage, 0, sizeof(pebImage));
    if (!ReadProcessMemory(process, (const void*)peb32, pebImage, sizeof(pebImage), NULL))
        return RECORDS_UNREADABLE;
    *parameters = ReadPointerAt(pebImage, PEB32_PARAMETERS_OFFSET, sizeof(DWORD));
    return RECORDS_FOLLOWED;
}

// Follows a view's records (the 64-bit ones when peb32 is 0) to its block.
static int LocateViewEnvironment(HANDLE process, ULONG_PTR peb32, PARAMETERS_RECORD* record,
                                 ENVIRONMENT_PLACE* place, ULONG_PTR* imageBase)
{
    record->address = 0;
    record->readable = 0;
    record->blockBytes = 0;
    place->address = NULL;
    place->readable = 0;
    int followed = peb32 == 0 ? FindProcessParameters(process, &record->address, imageBase)
                              : FindProcessParameters32(process, peb32, &record->address);
    if (followed != RECORDS_FOLLOWED)
        return followed;
    return LocateEnvironment(process, peb32, record, place) ? RECORDS_FOLLOWED : RECORDS_UNREADABLE;
}

// 1 when the query answered; *peb32 is then 0 for a native process.
static int AskPeb32Address(HANDLE process, ULONG_PTR* peb32)
{
    DWORD returnLength = 0;
    *peb32 = 0;
    if (QueryWow64InformationEntry == NULL ||
        QueryWow64InformationEntry(process, PROCESS_WOW64_INFORMATION, peb32, sizeof(*peb32), &returnLength) != 0) {
        *peb32 = 0;
        return 0;
    }
    return 1;
}

ULONG_PTR QueryPeb32Address(HANDLE process)
{
    ULONG_PTR peb32 = 0;
    AskPeb32Address(process, &peb32);
    return peb32;
}

// Makes the block buffer hold at least bytes (rounded up to whole first
// reads); 1 when it does.
static int GrowBlockBuffer(DWORD bytes)
{
    if (bytes <= BlockBufferBytes)
        return 1;
    DWORD wanted = (bytes + ENV_BUFFER_BYTES - 1) / ENV_BUFFER_BYTES * ENV_BUFFER_BYTES;
    void* grown = BlockBuffer == NULL ? HeapAlloc(GetProcessHeap(), 0, wanted)
                                      : HeapReAlloc(GetProcessHeap(), 0, BlockBuffer, wanted);
    if (grown == NULL)
        return 0;
    BlockBuffer = (unsigned char*)grown;
    BlockBufferBytes = wanted;
    return 1;
}

// Reads bytes of the block at offset into the block buffer; answers how
// many arrived (a read that failed part-way still delivers its first part).
static DWORD ReadBlockPart(HANDLE process, const ENVIRONMENT_PLACE* place, DWORD offset, DWORD bytes)
{
    SIZE_T copied = 0;
    if (!GrowBlockBuffer(offset + bytes))
        return 0;
    if (!ReadProcessMemory(process, (const unsigned char*)place->address + offset, BlockBuffer + offset, bytes,
                           &copied))
        return copied < bytes ? (DWORD)copied : 0;
    return (DWORD)copied;
}

// Tests one view's whole block: a first read of at most ENV_BUFFER_BYTES,
// which holds any ordinary block, then the rest of the region up to the
// ceiling when the block (or its matching entry) runs on past it.
static int TestViewBlock(HANDLE process, const ENVIRONMENT_PLACE* place, PARAMETERS_RECORD* record,
                         PROMPT_MATCH* match)
{
    DWORD wanted = place->readable < ENV_BUFFER_BYTES ? place->readable : ENV_BUFFER_BYTES;
    DWORD delivered = ReadBlockPart(process, place, 0, wanted);
    int whole = delivered == wanted;
    size_t start = 0;
    size_t length = 0;
    int walked = WalkEnvironmentBlock((const ENV_CHAR*)BlockBuffer, delivered / sizeof(ENV_CHAR), &start, &length);
    int runsOn = walked == BLOCK_UNENDED || (walked == BLOCK_PROMPT && start + length == delivered / sizeof(ENV_CHAR));
    if (whole && runsOn && wanted < place->readable) {
        DWORD rest = (place->readable < ENV_CEILING_BYTES ? place->readable : ENV_CEILING_BYTES) - wanted;
        DWORD more = ReadBlockPart(process, place, wanted, rest);
        delivered += more;
        whole = more == rest && delivered == place->readable;
        walked = WalkEnvironmentBlock((const ENV_CHAR*)BlockBuffer, delivered / sizeof(ENV_CHAR), &start, &length);
    }
    record->blockBytes = delivered;
    if (walked == BLOCK_PROMPT) {
        CopyWideText(match->entry, PROMPT_ENTRY_CHARS + 1, (const WCHAR*)BlockBuffer + start, length);
        match->entryChars = (DWORD)wcslen(match->entry);
        return PROMPT_FOUND;
    }
    // A block without its closing empty entry that fills its region was read
    // whole; one that the ceiling or a failed read cut may go on.
    if (walked == BLOCK_NO_PROMPT || (walked == BLOCK_UNENDED && whole))
        return PROMPT_ABSENT;
    return PROMPT_UNREADABLE;
}

// Follows one view's records and tests its block.
static int TestView(HANDLE process, ULONG_PTR peb32, PARAMETERS_RECORD* record, PROMPT_MATCH* match)
{
    ENVIRONMENT_PLACE place;
    int followed = LocateViewEnvironment(process, peb32, record, &place, &match->imageBase);
    if (followed == RECORDS_NONE)
        return PROMPT_ABSENT;
    int answer = followed == RECORDS_FOLLOWED ? TestViewBlock(process, &place, record, match) : PROMPT_UNREADABLE;
    // A process that sets a variable (cmd.exe its PROMPT, as it starts) may
    // move its block between the pointer's read and the block's: when the
    // block could not be read, the pointer is read once more, and a block
    // it now places elsewhere is tested.
    const void* before = place.address;
    if (answer == PROMPT_UNREADABLE && before != NULL && record->readable != 0 &&
        ReadViewEnvironmentPointer(process, peb32, record, &place.address) && place.address != before &&
        QueryReadableRegion(process, place.address, &place.readable))
        answer = TestViewBlock(process, &place, record, match);
    return answer;
}

int TestProcessEnvironment(HANDLE process, PROMPT_MATCH* match)
{
    match->peb32 = 0;
    match->imageBase = 0;
    match->in32BitView = 0;
    match->entryChars = 0;
    match->entry[0] = 0;
    match->parameters32.address = 0;
    match->parameters32.readable = 0;
    match->parameters32.blockBytes = 0;

    int answer = TestView(process, 0, &match->parameters, match);

    // The 64-bit copy of a WOW64 process keeps what it inherited at creation;
    // its 32-bit code sets and changes only its own copy (cmd.exe's PROMPT
    // among them), so that copy is tested too and its entry preferred.
    if (!AskPeb32Address(process, &match->peb32))
        return answer == PROMPT_FOUND ? PROMPT_FOUND : PROMPT_UNREADABLE;
    if (match->peb32 != 0) {
        int answer32 = TestView(process, match->peb32, &match->parameters32, match);
        if (answer32 == PROMPT_FOUND) {
            match->in32BitView = 1;
            return PROMPT_FOUND;
        }
        if (answer != PROMPT_FOUND && answer32 == PROMPT_UNREADABLE)
            answer = PROMPT_UNREADABLE;
    }
    return answer;
}

int FindPromptEntry(DWORD processId, PROMPT_MATCH* match)
{
    match->opened = 0;
    HANDLE process = OpenProcessForRead(processId);
    if (process == NULL) {
        match->peb32 = 0;
        match->imageBase = 0;
        match->entryChars = 0;
        match->entry[0] = 0;
        return PROMPT_UNREADABLE;
    }
    match->opened = 1;
    int answer = TestProcessEnvironment(process, match);
    CloseHandle(process);
    return answer;
}

int IsCommandPromptProcess(DWORD processId)
{
    PROMPT_MATCH match;
    return FindPromptEntry(processId, &match) == PROMPT_FOUND ? 1 : 0;
}
