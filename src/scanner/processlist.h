// The system's process list (NtQuerySystemInformation, class 5): one call
// gives every process's id, parent id, creation time, session and image
// name, without opening any process. The JSON layouts walk it.
#ifndef MURKSCOPE_PROCESSLIST_H
#define MURKSCOPE_PROCESSLIST_H

#include <windows.h>

#include "listwalk.h"

#define SYSTEM_PROCESS_INFORMATION_CLASS 5
#define FILETIME_UNITS_PER_MILLISECOND 10000ULL
// The list's buffer grows while the system answers that it is too small, up
// to this: far above the tens of thousands of processes and threads of the
// largest servers.
#define PROCESS_LIST_CEILING_BYTES (64u * 1024 * 1024)
#define PROCESS_LIST_FIRST_BYTES (256u * 1024)

#define STATUS_INFO_LENGTH_MISMATCH_VALUE ((LONG)0xC0000004L)
#define STATUS_BUFFER_TOO_SMALL_VALUE ((LONG)0xC0000023L)
#define STATUS_NO_MEMORY_VALUE ((LONG)0xC0000017L)

typedef LONG (*QuerySystemInformationFunction)(DWORD informationClass, void* buffer, DWORD length,
                                               DWORD* returnLength);

// The list is read through this entry: QuerySystemInformation unless a test
// points it at its own function.
extern QuerySystemInformationFunction QuerySystemInformationEntry;

// One process of the list.
typedef struct LISTED_PROCESS {
    DWORD processId;
    DWORD parentProcessId;
    ULONGLONG created;   // creation time in FILETIME units (UTC); 0 when the list gives none
    DWORD session;
    const WCHAR* name;   // the image's file name, inside the list, not terminated
    DWORD nameChars;
} LISTED_PROCESS;

typedef struct PROCESS_LIST {
    const unsigned char* records;
    DWORD bytes;  // of records the system filled
} PROCESS_LIST;

// NtQuerySystemInformation, looked up in ntdll once; -1 when it is missing.
LONG QuerySystemInformation(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength);

// Reads the list into the tool's own buffer (allocated once, grown when
// needed); 1 when it was read, else 0 with the failing status in *status.
// The list stays valid until the next read.
int ReadProcessList(PROCESS_LIST* list, LONG* status);

// The record at *position (0 for the first), then *position moves on to the
// next. 0 when no record is left. Every offset and every name is checked
// against the buffer (WalkListRecord): a record that does not fit ends the
// walk, and a name outside it is empty.
int NextListedProcess(const PROCESS_LIST* list, DWORD* position, LISTED_PROCESS* process);

// The first process of the list with that id; 1 when there is one.
int FindListedProcess(const PROCESS_LIST* list, DWORD processId, LISTED_PROCESS* process);

// A handle opened by id belongs to the listed process unless both creation
// times are known and differ: the listed one ended and its id was reused.
int IsHandleOfListedProcess(HANDLE process, const LISTED_PROCESS* listed);

#endif
