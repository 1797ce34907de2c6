// The walk over every process, the per-process lookups of the command-prompt
// ones, and the JSON layout's walk with the evidence of each shell.
#ifndef MURKSCOPE_SCAN_H
#define MURKSCOPE_SCAN_H

#include <windows.h>

#include "report.h"

#define TOKEN_USER_BYTES 1000
// The longest path QueryFullProcessImageName can give, in the system code page.
#define IMAGE_PATH_BYTES 32768
#define ACCOUNT_NAME_CHARS 260
#define WINDOWS_DIRECTORY_CHARS 500
#define HOST_NAME_CHARS 256

// The JSON layout copies the process snapshot first, so that a shell's
// parent is found wherever it stands in it. A snapshot longer than this is
// still walked to its end; a parent beyond the copy is then asked directly.
#define SNAPSHOT_TABLE_ENTRIES 8192

// How many entries of the copy are used: the table's size, unless a test
// lowers it to exercise a snapshot longer than the copy.
extern DWORD SnapshotTableCapacity;

void ScanProcesses(int mode);
int GetProcessUserName(DWORD processId, char* text, DWORD capacity);
int GetProcessImagePath(DWORD processId, char* text, DWORD capacity);
int IsProcess32Bit(DWORD processId);
void CapitalizeFirstLetter(char* text);

// Writes the image path as the system gave it into text, turning a leading
// "\SystemRoot\" (any case) into the Windows directory.
void ExpandSystemRootPath(const char* imagePath, char* text, DWORD capacity);

#endif
