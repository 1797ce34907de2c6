// The PowerShell hosts of the machine, from one listing of the named pipes'
// names: every process that starts the PowerShell engine (powershell.exe,
// pwsh.exe, or any program that loads System.Management.Automation) opens
// "PSHost.<start time>.<pid>.<app domain>.<process name>". Names only: no
// pipe is opened, since opening one would disturb its server.
#ifndef MURKSCOPE_ENGINEPIPES_H
#define MURKSCOPE_ENGINEPIPES_H

#include <windows.h>

#include "enginepipe.h"
#include "processlist.h"

// Host pipes kept of one listing: far above the hosts a machine runs; the
// rest of a listing that holds more is left out.
#define ENGINE_PIPES_MAX 65536
// A pipe's time must lie this close to its process's creation time, or it
// belongs to an earlier process with the same id.
#define ENGINE_PIPE_TIME_MILLISECONDS 2000

typedef struct ENGINE_PIPE {
    ENGINE_PIPE_NAME parsed;
    DWORD nameChars;
    WCHAR name[ENGINE_PIPE_NAME_CHARS + 1];
} ENGINE_PIPE;

typedef struct ENGINE_PIPES {
    int read;  // the listing answered
    DWORD count;
    DWORD capacity;
    ENGINE_PIPE* pipes;  // allocated at the first host pipe, grown when needed
} ENGINE_PIPES;

// Hands each name of \\.\pipe\ to each (chars characters, not terminated),
// with context; 1 when the listing was made.
typedef void (*PipeNameFunction)(void* context, const WCHAR* name, size_t chars);
typedef int (*ListPipeNamesFunction)(PipeNameFunction each, void* context);

// The pipes are listed through this entry: ListSystemPipeNames unless a
// test points it at its own names.
extern ListPipeNamesFunction ListPipeNamesEntry;
// FindFirstFileW and FindNextFileW on \\.\pipe\*.
int ListSystemPipeNames(PipeNameFunction each, void* context);

// Lists the pipes and keeps the names that are a host's; 1 when the listing
// was made (then valid until the next).
int ReadEnginePipes(ENGINE_PIPES* pipes);

// The host pipe of a listed process: its pid, and a time within
// ENGINE_PIPE_TIME_MILLISECONDS of its creation time; NULL when there is none.
const ENGINE_PIPE* FindEnginePipe(const ENGINE_PIPES* pipes, const LISTED_PROCESS* process);

#endif
