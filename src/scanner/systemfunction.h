// Functions of system DLLs that the import table does not name: ntdll's
// native queries, and iphlpapi's TCP tables, which a scan that finds no
// shell never needs. Each is looked up at its first use and kept; a DLL the
// tool loads comes from System32 only.
#ifndef MURKSCOPE_SYSTEMFUNCTION_H
#define MURKSCOPE_SYSTEMFUNCTION_H

#include <windows.h>

typedef struct SYSTEM_FUNCTION {
    const char* module;
    const char* name;
    int load;      // load the module when it is not mapped (it then stays for the run)
    int resolved;  // looked up already, found or not
    FARPROC address;
} SYSTEM_FUNCTION;

// Loads a system DLL from System32 alone, where a DLL of that name beside
// the tool cannot take its place; NULL when it cannot be loaded. It stays
// loaded for the run.
HMODULE LoadSystemModule(const char* name);

// The function's address, looked up once; NULL when the module or the
// function is missing.
FARPROC FindSystemFunction(SYSTEM_FUNCTION* function);

// Makes System32 the only folder the process loads DLLs from by name, where
// the system has SetDefaultDllDirectories: the entry point's first call.
void RestrictDllSearch(void);

#endif
