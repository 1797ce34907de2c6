// Reads another process's environment block and decides whether the process
// is command-prompt oriented (an entry beginning with "prompt").
#ifndef MURKSCOPE_ENVIRONMENT_H
#define MURKSCOPE_ENVIRONMENT_H

#include <windows.h>

#include "bytefield.h"

// The shell test's first read of a block: a real block is a few KiB, so one
// read of at most this much takes it whole.
#define ENV_BUFFER_BYTES 65536
// The most of one block the shell test reads. The system sets no limit on a
// block's size, and entries before the prompt entry can fill any fixed
// buffer; a block longer than this is tested as far as it goes.
#define ENV_CEILING_BYTES (16u * 1024 * 1024)

#define PROCESS_READ_ACCESS (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)

// 64-bit system layouts of the records followed to the environment block.
#define BASIC_INFORMATION_BYTES 48
#define BASIC_INFORMATION_PEB_OFFSET 8
#define PEB_IMAGE_BYTES 712
#define PEB_IMAGE_BASE_OFFSET 0x10
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

// The longest matching entry kept: a variable's value is at most 32,767
// characters; a longer entry is cut.
#define PROMPT_ENTRY_CHARS 32768

// The shell test's answers.
#define PROMPT_ABSENT 0      // every view was read and none holds a prompt entry
#define PROMPT_FOUND 1       // a view holds one (whatever the other view gave)
#define PROMPT_UNREADABLE 2  // none found, and a view could not be read whole

typedef LONG (*QueryProcessInformationFunction)(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                                                DWORD* returnLength);

// The ProcessWow64Information query goes through this entry: it is
// QueryProcessInformation unless a test points it at its own function.
extern QueryProcessInformationFunction QueryWow64InformationEntry;

// Where a view's records led: its process parameters and the bytes readable
// from there to the end of their region (0 when the region check failed),
// and how much of its environment block the shell test read.
typedef struct PARAMETERS_RECORD {
    ULONG_PTR address;
    DWORD readable;
    DWORD blockBytes;
} PARAMETERS_RECORD;

// What the shell test found in one process.
typedef struct PROMPT_MATCH {
    int opened;         // the process could be opened for reading
    ULONG_PTR peb32;    // the 32-bit PEB of a WOW64 process, else 0
    ULONG_PTR imageBase;  // where the 64-bit PEB says the main image lies, else 0
    int in32BitView;    // the entry below comes from the 32-bit environment
    PARAMETERS_RECORD parameters;    // the 64-bit view's process parameters
    PARAMETERS_RECORD parameters32;  // the 32-bit view's, for a WOW64 process
    DWORD entryChars;   // characters of the matching entry
    WCHAR entry[PROMPT_ENTRY_CHARS + 1];  // the matching entry as it stands, terminated
} PROMPT_MATCH;

// 1 when the process holds a prompt entry, else 0 (unreadable included).
int IsCommandPromptProcess(DWORD processId);
// Opens the process for reading, tests it and closes it; one of the
// answers above (PROMPT_UNREADABLE when it cannot be opened).
int FindPromptEntry(DWORD processId, PROMPT_MATCH* match);
// The same test on a handle opened with OpenProcessForRead, which the caller
// keeps: the JSON layout reads a shell's evidence through it. Reads each
// view's whole block, up to its region's end or ENV_CEILING_BYTES.
int TestProcessEnvironment(HANDLE process, PROMPT_MATCH* match);
HANDLE OpenProcessForRead(DWORD processId);
// A pointer of pointerBytes (8, or 4 in the 32-bit layouts) at offset of a
// record read into a byte buffer.
inline ULONG_PTR ReadPointerAt(const unsigned char* image, size_t offset, size_t pointerBytes)
{
    return (ULONG_PTR)ReadNumberAt(image, offset, pointerBytes);
}
ULONG_PTR QueryPeb32Address(HANDLE process);
// How far the records of a view could be followed.
#define RECORDS_FOLLOWED 1
#define RECORDS_UNREADABLE 0
#define RECORDS_NONE 2  // no PEB at all: a minimal process, which has no environment

// The process-parameters address from the 64-bit PEB (one basic-information
// query, one read), and on the way the main image's address; RECORDS_*.
int FindProcessParameters(HANDLE process, ULONG_PTR* parameters, ULONG_PTR* imageBase);
// 1 when the region holding address is committed, readable and no guard
// region, with the bytes from address to its end in *regionSize.
int QueryReadableRegion(HANDLE process, const void* address, DWORD* regionSize);
// The same for the start of a main image: 1 only when imageBase is where an
// image the system mapped begins (MEM_IMAGE, its allocation's own base).
int QueryImageStart(HANDLE process, ULONG_PTR imageBase, DWORD* regionSize);
LONG QueryProcessInformation(HANDLE process, DWORD informationClass, void* buffer, DWORD length,
                             DWORD* returnLength);

#endif
