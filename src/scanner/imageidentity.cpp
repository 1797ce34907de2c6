// Reads a process's main image from its memory through the version-data
// parser, with the region checks the environment reader uses, and names the
// interpreter it is. The interpreters are a table: a new one is a line.
#include "imageidentity.h"

#include <string.h>

#include "environment.h"
#include "text.h"

typedef struct INTERPRETER_NAME {
    const char* interpreter;
    const char* originalName;  // as its maker's version resource gives it, compared without case
    const char* usualImage;    // the image name it ships under
} INTERPRETER_NAME;

static const INTERPRETER_NAME INTERPRETERS[] = {
    {"cmd", "Cmd.Exe", "cmd.exe"},
    {"powershell", "PowerShell.EXE", "powershell.exe"},
    {"pwsh", "pwsh.dll", "pwsh.exe"},
    {"pwsh", "pwsh.exe", "pwsh.exe"},
};

// The reads of one image: the target, where its image lies, and the last
// region found readable, so that a read inside it needs no second check.
typedef struct IMAGE_READER {
    HANDLE process;
    ULONG_PTR base;
    ULONG_PTR knownStart;
    ULONG_PTR knownEnd;
} IMAGE_READER;

// Big enough to live outside the stack; one image is read at a time.
static VERSION_READ Work;

static size_t ReadImageBytes(void* context, unsigned long long offset, unsigned char* buffer, size_t bytes)
{
    IMAGE_READER* reader = (IMAGE_READER*)context;
    if (offset > (ULONG_PTR)-1 - reader->base)
        return 0;
    ULONG_PTR address = reader->base + (ULONG_PTR)offset;
    if (address < reader->knownStart || address >= reader->knownEnd) {
        DWORD readable = 0;
        if (!QueryReadableRegion(reader->process, (const void*)address, &readable))
            return 0;
        reader->knownStart = address;
        reader->knownEnd = address + readable;
    }
    size_t available = reader->knownEnd - address;
    if (bytes > available)
        bytes = available;
    SIZE_T copied = 0;
    if (!ReadProcessMemory(reader->process, (const void*)address, buffer, bytes, &copied))
        return copied < bytes ? (size_t)copied : 0;
    return (size_t)copied;
}

int ReadImageOriginalName(HANDLE process, ULONG_PTR imageBase, IMAGE_IDENTITY* identity)
{
    identity->foundOriginalName = 0;
    identity->originalNameChars = 0;
    identity->originalName[0] = 0;
    if (imageBase == 0)
        return 0;
    // The headers' region, asked once: it is also the first read's check.
    DWORD readable = 0;
    if (!QueryImageStart(process, imageBase, &readable))
        return 0;
    IMAGE_READER reader = {process, imageBase, imageBase, imageBase + readable};
    VERSION_CHAR name[ORIGINAL_NAME_CHARS + 1];
    size_t chars = 0;
    if (!ReadOriginalName(ReadImageBytes, &reader, &Work, name, &chars))
        return 0;
    for (size_t index = 0; index <= chars; index++)
        identity->originalName[index] = (WCHAR)name[index];
    identity->originalNameChars = (DWORD)chars;
    identity->foundOriginalName = 1;
    return 1;
}

int QueryImagePath(HANDLE process, WCHAR* path, DWORD capacity)
{
    DWORD pathChars = capacity;
    if (capacity == 0)
        return 0;
    path[0] = 0;
    if (!QueryFullProcessImageNameW(process, 0, path, &pathChars) || pathChars >= capacity) {
        path[0] = 0;
        return 0;
    }
    path[pathChars] = 0;
    return 1;
}

void NameInterpreter(IMAGE_IDENTITY* identity, const WCHAR* imageName, size_t imageNameChars)
{
    const size_t count = sizeof(INTERPRETERS) / sizeof(INTERPRETERS[0]);
    identity->interpreter = NULL;
    identity->renamed = 0;
    if (identity->foundOriginalName) {
        for (size_t index = 0; index < count; index++) {
            if (!IsSameAsciiName(identity->originalName, identity->originalNameChars, INTERPRETERS[index].originalName))
                continue;
            identity->interpreter = INTERPRETERS[index].interpreter;
            identity->renamed = !IsSameAsciiName(imageName, imageNameChars, INTERPRETERS[index].usualImage);
            return;
        }
    }
    for (size_t index = 0; index < count; index++) {
        if (IsSameAsciiName(imageName, imageNameChars, INTERPRETERS[index].usualImage)) {
            identity->interpreter = INTERPRETERS[index].interpreter;
            return;
        }
    }
}
