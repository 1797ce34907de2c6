// What tells a hidden or remote shell from an ordinary one, read for each
// listed shell only: how it was started (command line, directory, window and
// standard-handle flags from its process parameters), by which account at
// which integrity level, from which image. When it started, in which session
// and by whom come from the process list.
#ifndef MURKSCOPE_EVIDENCE_H
#define MURKSCOPE_EVIDENCE_H

#include <windows.h>

#include "account.h"
#include "environment.h"
#include "imageidentity.h"
#include "logonsession.h"

// 64-bit process-parameters layout: the fields read here (UNICODE_STRING:
// two 16-bit byte counts, then a pointer at +8; the three standard handles
// one after another).
#define PARAMETERS_EVIDENCE_BYTES 0xD0
#define PARAMETERS_FLAGS_OFFSET 0x08
#define PARAMETERS_CONSOLE_HANDLE_OFFSET 0x10
#define PARAMETERS_STANDARD_INPUT_OFFSET 0x20
#define PARAMETERS_CURRENT_DIRECTORY_OFFSET 0x38
#define PARAMETERS_COMMAND_LINE_OFFSET 0x70
#define PARAMETERS_WINDOW_FLAGS_OFFSET 0xA4
#define PARAMETERS_SHOW_WINDOW_FLAGS_OFFSET 0xA8
#define PARAMETERS_DESKTOP_INFO_OFFSET 0xC0

// 32-bit layout of a WOW64 process's own parameters (UNICODE_STRING32: two
// 16-bit byte counts, then a 32-bit pointer at +4).
#define PARAMETERS32_EVIDENCE_BYTES 0x80
#define PARAMETERS32_FLAGS_OFFSET 0x08
#define PARAMETERS32_CONSOLE_HANDLE_OFFSET 0x10
#define PARAMETERS32_STANDARD_INPUT_OFFSET 0x18
#define PARAMETERS32_CURRENT_DIRECTORY_OFFSET 0x24
#define PARAMETERS32_COMMAND_LINE_OFFSET 0x40
#define PARAMETERS32_WINDOW_FLAGS_OFFSET 0x68
#define PARAMETERS32_SHOW_WINDOW_FLAGS_OFFSET 0x6C
#define PARAMETERS32_DESKTOP_INFO_OFFSET 0x78

// RTL_USER_PROC_PARAMS_NORMALIZED in a record's Flags: without it, the
// record's string buffers are offsets from the record's own address (a
// record caught before the loader turned them into pointers).
#define PARAMETERS_NORMALIZED_FLAG 0x1
#define STANDARD_HANDLES 3

// The longest text a UNICODE_STRING can hold: its length is a byte count of
// 16 bits, and an odd one is refused.
#define REMOTE_TEXT_CHARS 32767

// A text read from the target, or not found (null in the report).
typedef struct REMOTE_TEXT {
    int found;
    DWORD chars;
    WCHAR text[REMOTE_TEXT_CHARS + 1];
} REMOTE_TEXT;

typedef struct SHELL_EVIDENCE {
    REMOTE_TEXT commandLine;
    REMOTE_TEXT currentDirectory;
    int foundWindowFlags;
    DWORD windowFlags;      // STARTUPINFO.dwFlags as the parent gave them
    DWORD showWindowFlags;  // STARTUPINFO.wShowWindow
    // StandardInput, StandardOutput, StandardError as the parent gave them
    // (read with the flags, found when they are)
    ULONG_PTR standardHandles[STANDARD_HANDLES];
    ULONG_PTR consoleHandle;  // 0 when it has no console (read with the flags)
    REMOTE_TEXT desktopInfo;  // the desktop its start-up asked for, "WinSta0\Default"
    PROCESS_OWNER owner;
    int foundIntegrity;
    DWORD integrity;        // last sub-authority of the token's label SID
    int foundLogonId;
    LUID logonId;           // the token's AuthenticationId: its logon session
    const LOGON_SESSION* logon;  // what the LSA says of that session, when foundLogonId
    int foundElevationType;
    DWORD elevationType;    // TOKEN_ELEVATION_TYPE
    int foundPath;
    WCHAR path[IMAGE_PATH_CHARS];
} SHELL_EVIDENCE;

// Reads everything above for a shell, through the handle its shell test
// used and from the records the test found (the 32-bit ones for a WOW64
// process). Whatever cannot be read is left not found.
void ReadShellEvidence(HANDLE process, const PROMPT_MATCH* match, SHELL_EVIDENCE* evidence);

// The command line of a 64-bit process that is not tested as a shell (a
// console host), through a handle with PROCESS_QUERY_INFORMATION (for its
// region checks) and PROCESS_VM_READ: its PEB, its parameters record and the text, at most
// three reads and two region checks. 1 when it was read.
int ReadProcessCommandLine(HANDLE process, REMOTE_TEXT* text);

#endif
