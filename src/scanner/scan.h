// The walk over every process in the block, line and XML layouts, and the
// per-process lookups of the command-prompt ones.
#ifndef MURKSCOPE_SCAN_H
#define MURKSCOPE_SCAN_H

#include <windows.h>

#include "report.h"

// The longest image path, in the system code page.
#define IMAGE_PATH_BYTES 32768
#define ACCOUNT_NAME_CHARS 260
#define WINDOWS_DIRECTORY_CHARS 500

// What ScanProcesses answers: the walk was made, or the snapshot could not be
// taken or gave no first process (with the system's error code).
#define SCAN_DONE 0
#define SCAN_NO_SNAPSHOT 1
#define SCAN_NO_FIRST_PROCESS 2

// Prints every process with a prompt entry in the layout, then the closing
// lines; prints nothing when it fails.
int ScanProcesses(int mode, DWORD* errorCode);
int GetProcessUserName(DWORD processId, char* text, DWORD capacity);
int GetProcessImagePath(DWORD processId, char* text, DWORD capacity);
int IsProcess32Bit(DWORD processId);
void CapitalizeFirstLetter(char* text);

// Writes the image path as the system gave it into text, turning a leading
// "\SystemRoot\" (any case) into the Windows directory.
void ExpandSystemRootPath(const char* imagePath, char* text, DWORD capacity);

#endif
