// Reads another process's environment block and decides whether the process
// is command-prompt oriented (an entry beginning with "prompt").
#ifndef MURKSCOPE_ENVIRONMENT_H
#define MURKSCOPE_ENVIRONMENT_H

#include <windows.h>

// Large enough for a whole real block: the prompt entry sorts after Path,
// PATHEXT, the PROCESSOR_* and ProgramFiles* entries.
#define ENV_BUFFER_BYTES 65536

#define PROCESS_READ_ACCESS (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)

// 64-bit system layouts of the records followed to the environment block.
#define BASIC_INFORMATION_BYTES 48
#define BASIC_INFORMATION_PEB_OFFSET 8
#define PEB_IMAGE_BYTES 712
#define PEB_PARAMETERS_OFFSET 0x20
#define PARAMETERS_IMAGE_BYTES 144
#define PARAMETERS_ENVIRONMENT_OFFSET 0x80

int IsCommandPromptProcess(DWORD processId);
HANDLE OpenProcessForRead(DWORD processId);
int ReadProcessEnvironment(HANDLE process, void* buffer, DWORD* size);
int QueryReadableRegion(HANDLE process, const void* address, DWORD* regionSize);
LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength);

#endif
