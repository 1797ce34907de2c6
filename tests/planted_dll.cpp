// A stand-in iphlpapi.dll, built into a folder of its own: what an intruder
// would plant beside the tool. Its GetExtendedTcpTable answers nothing, so a
// tool that loaded it shows a shell's connections as null.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                                                   ULONG tableClass, ULONG reserved)
{
    (void)table, (void)size, (void)order, (void)family, (void)tableClass, (void)reserved;
    return ERROR_NOT_SUPPORTED;
}
