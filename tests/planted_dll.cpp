// A stand-in iphlpapi.dll, built into a folder of its own: what an intruder
// would plant beside the tool. Loaded, it leaves the file "planted-loaded"
// beside itself; its GetExtendedTcpTable answers nothing.
#include <windows.h>

#include <string.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\')
        length--;
    static const char marker[] = "planted-loaded";
    if (length == 0 || length + sizeof(marker) > sizeof(path))
        return TRUE;
    memcpy(path + length, marker, sizeof(marker));
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                                                   ULONG tableClass, ULONG reserved)
{
    (void)table, (void)size, (void)order, (void)family, (void)tableClass, (void)reserved;
    return ERROR_NOT_SUPPORTED;
}
