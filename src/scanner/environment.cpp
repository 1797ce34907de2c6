// Follows the target's own records (basic information -> PEB -> process
// parameters -> environment) with read-only access and tests the block.
#include "environment.h"

#include <string.h>

#include "envblock.h"

typedef LONG(NTAPI* NtQueryInformationProcessFunction)(HANDLE process, ULONG informationClass, PVOID buffer,
                                                       ULONG length, PULONG returnLength);

static ULONG_PTR ReadPointerAt(const unsigned char* image, size_t offset)
{
    // Images are plain byte buffers: copy rather than cast to stay aligned.
    ULONG_PTR value = 0;
    memcpy(&value, image + offset, sizeof(value));
    return value;
}

LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength)
{
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    if (ntdll == NULL)
        return -1;
    NtQueryInformationProcessFunction query =
        (NtQueryInformationProcessFunction)(void*)GetProcAddress(ntdll, "NtQueryInformationProcess");
    LONG status = -1;
    if (query != NULL)
        status = query(process, informationClass, buffer, length, (PULONG)returnLength);
    FreeLibrary(ntdll);
    return status;
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

int ReadProcessEnvironment(HANDLE process, void* buffer, DWORD* size)
{
    unsigned char basicInformation[BASIC_INFORMATION_BYTES];
    DWORD returnLength = 0;
    memset(basicInformation, 0, sizeof(basicInformation));
    if (QueryProcessInformation(process, 0, basicInformation, sizeof(basicInformation), &returnLength) != 0)
        return 0;

    unsigned char pebImage[PEB_IMAGE_BYTES];
    memset(pebImage, 0, sizeof(pebImage));
    const void* peb = (const void*)ReadPointerAt(basicInformation, BASIC_INFORMATION_PEB_OFFSET);
    if (!ReadProcessMemory(process, peb, pebImage, sizeof(pebImage), NULL))
        return 0;

    DWORD regionSize = 0;
    const void* parameters = (const void*)ReadPointerAt(pebImage, PEB_PARAMETERS_OFFSET);
    if (!QueryReadableRegion(process, parameters, &regionSize))
        return 0;

    unsigned char parametersImage[PARAMETERS_IMAGE_BYTES];
    memset(parametersImage, 0, sizeof(parametersImage));
    if (!ReadProcessMemory(process, parameters, parametersImage, sizeof(parametersImage), NULL))
        return 0;

    const void* environment = (const void*)ReadPointerAt(parametersImage, PARAMETERS_ENVIRONMENT_OFFSET);
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

int IsCommandPromptProcess(DWORD processId)
{
    HANDLE process = OpenProcessForRead(processId);
    if (process == NULL)
        return 0;

    // Whatever arrived is tested, even from a read that stopped part-way; a
    // reader that gave up early leaves the buffer all zero.
    ENV_CHAR block[ENV_BUFFER_BYTES / sizeof(ENV_CHAR)];
    DWORD size = sizeof(block);
    memset(block, 0, sizeof(block));
    ReadProcessEnvironment(process, block, &size);
    CloseHandle(process);

    return ContainsPromptEntry(block, sizeof(block) / sizeof(block[0]));
}
