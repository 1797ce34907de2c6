// For the test targets: the process's own PEB and the two pointer fields the
// reader follows, in the 64-bit layouts, and the same fields of the 32-bit
// layouts the targets build for themselves.
#ifndef MURKSCOPE_OWN_PEB_H
#define MURKSCOPE_OWN_PEB_H

#include <windows.h>

#include <string.h>

static const size_t IMAGE_BASE_OFFSET_IN_PEB = 0x10;
static const size_t PARAMETERS_OFFSET_IN_PEB = 0x20;
static const size_t ENVIRONMENT_OFFSET_IN_PARAMETERS = 0x80;
// The loader list: PEB -> PEB_LDR_DATA, whose InLoadOrderModuleList (+0x10)
// begins with the image's own LDR_DATA_TABLE_ENTRY, holding the image's
// FullDllName and BaseDllName UNICODE_STRINGs.
static const size_t LOADER_DATA_OFFSET_IN_PEB = 0x18;
static const size_t LOAD_ORDER_LIST_OFFSET_IN_LOADER_DATA = 0x10;
static const size_t FULL_NAME_OFFSET_IN_LOADER_ENTRY = 0x48;
static const size_t BASE_NAME_OFFSET_IN_LOADER_ENTRY = 0x58;
// The process parameters' Flags, and in it RTL_USER_PROC_PARAMS_NORMALIZED:
// the string buffers are pointers, not offsets from the record.
static const size_t FLAGS_OFFSET_IN_PARAMETERS = 0x08;
static const DWORD NORMALIZED_FLAG_IN_PARAMETERS = 0x1;
// UNICODE_STRINGs of the process parameters: two 16-bit byte counts, then the
// pointer at +8.
static const size_t CURRENT_DIRECTORY_OFFSET_IN_PARAMETERS = 0x38;
static const size_t COMMAND_LINE_OFFSET_IN_PARAMETERS = 0x70;
// The 32-bit layouts of a WOW64 process's own copies, with 32-bit pointers
// (a UNICODE_STRING32 has its pointer at +4).
static const size_t PARAMETERS32_OFFSET_IN_PEB32 = 0x10;
static const size_t FLAGS32_OFFSET_IN_PARAMETERS32 = 0x08;
static const size_t ENVIRONMENT32_OFFSET_IN_PARAMETERS32 = 0x48;
static const size_t CURRENT_DIRECTORY32_OFFSET_IN_PARAMETERS32 = 0x24;
static const size_t COMMAND_LINE32_OFFSET_IN_PARAMETERS32 = 0x40;
static const size_t WINDOW_FLAGS32_OFFSET_IN_PARAMETERS32 = 0x68;
static const size_t SHOW_WINDOW_FLAGS32_OFFSET_IN_PARAMETERS32 = 0x6C;

typedef LONG(WINAPI* QueryInformationFunction)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// The process's own PEB, from its basic information.
static inline unsigned char* PebAddress(void)
{
    QueryInformationFunction query =
        (QueryInformationFunction)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    unsigned char information[48];
    ULONG returned = 0;
    unsigned char* peb = NULL;
    if (query != NULL && query(GetCurrentProcess(), 0, information, sizeof(information), &returned) == 0)
        memcpy(&peb, information + 8, sizeof(peb));
    return peb;
}

static inline unsigned char* ReadPointer(const unsigned char* where)
{
    unsigned char* value = NULL;
    memcpy(&value, where, sizeof(value));
    return value;
}

#endif
