// What a process's main image says it is: the OriginalFilename of its
// version resource, read from the image mapped in the process (the file on
// disk may be gone or replaced), and the command interpreter that name, or
// failing it the system's image name, stands for.
#ifndef MURKSCOPE_IMAGEIDENTITY_H
#define MURKSCOPE_IMAGEIDENTITY_H

#include <windows.h>

#include "versiondata.h"

typedef struct IMAGE_IDENTITY {
    int foundOriginalName;
    DWORD originalNameChars;
    WCHAR originalName[ORIGINAL_NAME_CHARS + 1];
    const char* interpreter;  // "cmd", "powershell", "pwsh", "powershell-host", or NULL
    int renamed;  // the original name names an interpreter whose usual image name this one is not
} IMAGE_IDENTITY;

// Reads the original name of the image mapped at imageBase, through a
// handle with PROCESS_VM_READ and PROCESS_QUERY_INFORMATION: at most three
// region checks and three reads, none when imageBase is not the start of an
// image the system mapped. 1 when it was found.
int ReadImageOriginalName(HANDLE process, ULONG_PTR imageBase, IMAGE_IDENTITY* identity);

// The longest path QueryFullProcessImageName can give.
#define IMAGE_PATH_CHARS 32768

// The system's record of the image the process was created from (not the
// loader list in its memory, where it can write any path it likes), through
// a handle with PROCESS_QUERY_LIMITED_INFORMATION; 1 when it was given
// whole, terminated, in path of capacity characters.
int QueryImagePath(HANDLE process, WCHAR* path, DWORD capacity);

// Sets the interpreter and the renamed mark from the original name found
// (if any) and the system's image name. identity->foundOriginalName must be
// set, 0 when no image was read.
void NameInterpreter(IMAGE_IDENTITY* identity, const WCHAR* imageName, size_t imageNameChars);

#endif
