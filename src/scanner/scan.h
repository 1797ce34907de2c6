// The walk over every process and the report of the command-prompt ones.
#ifndef MURKSCOPE_SCAN_H
#define MURKSCOPE_SCAN_H

#include <windows.h>

// OutputMode values; the record printer treats anything else as the block.
#define OUTPUT_BLOCK 0
#define OUTPUT_LINE 1
#define OUTPUT_XML 2

#define FIELD_BUFFER_BYTES 1000
#define TOKEN_USER_BYTES 1000
#define ACCOUNT_NAME_CHARS 260
#define WINDOWS_DIRECTORY_CHARS 500

void ScanProcesses(int mode);
int GetProcessUserName(DWORD processId, char* text, DWORD capacity);
int GetProcessImagePath(DWORD processId, char* text, DWORD capacity);
int IsProcess32Bit(DWORD processId);
void CapitalizeFirstLetter(char* text);
void PrintProcessRecord(int mode, DWORD processId, DWORD parentProcessId, const char* userName,
                        const char* processName, const char* processPath);

// Writes the path as the module snapshot gave it into text, turning a leading
// "\SystemRoot\" (any case) into the Windows directory.
void ExpandSystemRootPath(const char* modulePath, char* text, DWORD capacity);

#endif
