// Lists the named pipes' names and keeps those of PowerShell hosts. A name
// is any process's to choose: it is parsed strictly, and counts only when a
// process of the list with its id was created when it says.
#include "enginepipes.h"

#include <string.h>

#include "growbuffer.h"
#include "text.h"

ListPipeNamesFunction ListPipeNamesEntry = ListSystemPipeNames;

int ListSystemPipeNames(PipeNameFunction each, void* context)
{
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW(L"\\\\.\\pipe\\*", &found);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    do {
        found.cFileName[MAX_PATH - 1] = 0;
        each(context, found.cFileName, wcsnlen(found.cFileName, MAX_PATH));
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return 1;
}

static void KeepEnginePipe(void* context, const WCHAR* name, size_t chars)
{
    ENGINE_PIPES* pipes = (ENGINE_PIPES*)context;
    ENGINE_PIPE_NAME parsed;
    if (!ParseEnginePipeName((const PIPE_CHAR*)name, chars, &parsed) ||
        !GrowArray((void**)&pipes->pipes, &pipes->capacity, pipes->count + 1, sizeof(ENGINE_PIPE), ENGINE_PIPES_MAX))
        return;
    ENGINE_PIPE* pipe = &pipes->pipes[pipes->count++];
    pipe->parsed = parsed;
    CopyWideText(pipe->name, ENGINE_PIPE_NAME_CHARS + 1, name, chars);
    pipe->nameChars = (DWORD)wcslen(pipe->name);
}

int ReadEnginePipes(ENGINE_PIPES* pipes)
{
    pipes->count = 0;
    pipes->read = ListPipeNamesEntry != NULL && ListPipeNamesEntry(KeepEnginePipe, pipes);
    if (!pipes->read)
        pipes->count = 0;
    return pipes->read;
}

const ENGINE_PIPE* FindEnginePipe(const ENGINE_PIPES* pipes, const LISTED_PROCESS* process)
{
    const ULONGLONG CLOSE = ENGINE_PIPE_TIME_MILLISECONDS * FILETIME_UNITS_PER_MILLISECOND;
    if (!pipes->read || process->created == 0)
        return NULL;
    for (DWORD index = 0; index < pipes->count; index++) {
        const ENGINE_PIPE* pipe = &pipes->pipes[index];
        ULONGLONG started = pipe->parsed.started;
        if (pipe->parsed.processId != process->processId)
            continue;
        if (started > process->created ? started - process->created < CLOSE : process->created - started < CLOSE)
            return pipe;
    }
    return NULL;
}
