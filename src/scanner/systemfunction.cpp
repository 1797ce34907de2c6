#include "systemfunction.h"

FARPROC FindSystemFunction(SYSTEM_FUNCTION* function)
{
    if (!function->resolved) {
        // ntdll is mapped into every process and stays; a library loaded
        // here is never freed, so the address stays good for the run.
        HMODULE module = function->load ? LoadLibraryA(function->module) : GetModuleHandleA(function->module);
        function->address = module != NULL ? GetProcAddress(module, function->name) : NULL;
        function->resolved = 1;
    }
    return function->address;
}
