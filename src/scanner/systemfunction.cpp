#include "systemfunction.h"

#include <string.h>

// A system DLL that the tool loads itself is taken from System32 alone: one
// of the same name beside the tool (in a Downloads folder, an unpacked kit,
// a shared tools folder) would otherwise be found first and run inside an
// elevated tool with the debug privilege on.
HMODULE LoadSystemModule(const char* name)
{
    HMODULE module = LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows 7 without KB2533623 refuses the flag itself: the full path
    // then, whose dependencies are searched from that folder too.
    if (module != NULL || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    size_t nameLength = strlen(name);
    if (length == 0 || length + 1 + nameLength >= sizeof(path))
        return NULL;
    path[length] = '\\';
    memcpy(path + length + 1, name, nameLength + 1);
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC FindSystemFunction(SYSTEM_FUNCTION* function)
{
    if (!function->resolved) {
        // ntdll is mapped into every process and stays; a library loaded
        // here is never freed, so the address stays good for the run.
        HMODULE module = function->load ? LoadSystemModule(function->module) : GetModuleHandleA(function->module);
        function->address = module != NULL ? GetProcAddress(module, function->name) : NULL;
        function->resolved = 1;
    }
    return function->address;
}

void RestrictDllSearch(void)
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD directoryFlags);
    // Looked up, not imported: Windows 7 without KB2533623 lacks it.
    static SYSTEM_FUNCTION function = {"kernel32.dll", "SetDefaultDllDirectories", 0, 0, NULL};
    SetDefaultDllDirectoriesFunction setDirectories =
        (SetDefaultDllDirectoriesFunction)(void*)FindSystemFunction(&function);
    if (setDirectories != NULL)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
