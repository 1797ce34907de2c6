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

// The 32-bit side of a WOW64 process keeps its own PEB, process parameters
// and environment, linked by 32-bit pointers. ProcessWow64Information gives
// that PEB's address (pointer-sized; 0 for a native process).
#define PROCESS_WOW64_INFORMATION 26
#define PEB32_IMAGE_BYTES 0x20
#define PEB32_PARAMETERS_OFFSET 0x10
#define PARAMETERS32_IMAGE_BYTES 0x50
#define PARAMETERS32_ENVIRONMENT_OFFSET 0x48

// An entry is never longer than the buffer it was found in.
#define PROMPT_ENTRY_CHARS (ENV_BUFFER_BYTES / sizeof(WCHAR))

typedef LONG (*QueryProcessInformationFunction)(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                                                DWORD* returnLength);

// The ProcessWow64Information query goes through this entry: it is
// QueryProcessInformation unless a test points it at its own function.
extern QueryProcessInformationFunction QueryWow64InformationEntry;

// What the shell test found in one process.
typedef struct PROMPT_MATCH {
    int opened;         // the process could be opened for reading
    ULONG_PTR peb32;    // the 32-bit PEB of a WOW64 process, else 0
    int in32BitView;    // the entry below comes from the 32-bit environment
    DWORD entryChars;   // characters of the matching entry
    WCHAR entry[PROMPT_ENTRY_CHARS + 1];  // the matching entry as it stands, terminated
} PROMPT_MATCH;

int IsCommandPromptProcess(DWORD processId);
int FindPromptEntry(DWORD processId, PROMPT_MATCH* match);
HANDLE OpenProcessForRead(DWORD processId);
int ReadProcessEnvironment(HANDLE process, void* buffer, DWORD* size);
int ReadProcessEnvironment32(HANDLE process, ULONG_PTR peb32, void* buffer, DWORD* size);
// The process-parameters address from the 64-bit PEB, or from the 32-bit PEB
// of a WOW64 process; 1 when the records on the way could be read.
int FindProcessParameters(HANDLE process, ULONG_PTR* parameters);
int FindProcessParameters32(HANDLE process, ULONG_PTR peb32, ULONG_PTR* parameters);
// A pointer of pointerBytes (8, or 4 in the 32-bit layouts) at offset of a
// record read into a byte buffer.
ULONG_PTR ReadPointerAt(const unsigned char* image, size_t offset, size_t pointerBytes);
ULONG_PTR QueryPeb32Address(HANDLE process);
int QueryReadableRegion(HANDLE process, const void* address, DWORD* regionSize);
LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength);

#endif
