// The JSON layouts' work on the system's process list: a listed process is
// opened once and tested, and a shell is printed with its evidence, its
// parent, its connections and its signs. -j walks the list once; the watch
// examines what each of its polls finds new.
#ifndef MURKSCOPE_JSONSCAN_H
#define MURKSCOPE_JSONSCAN_H

#include <windows.h>

#include "consolewindow.h"
#include "enginepipes.h"
#include "imageidentity.h"
#include "processlist.h"
#include "report.h"
#include "tcptable.h"

#define HOST_NAME_CHARS 256

// Beside the shell test's answers: the process was not tested, as the tool's
// own, the Idle process, or one created after the list was taken under a
// listed id; or it refused reading as a protected process does, from
// everyone, elevated or not.
#define PROMPT_SKIPPED 3
#define PROMPT_PROTECTED 4

// NtQueryInformationProcess's ProcessProtectionInformation: one PS_PROTECTION
// byte, whose low three bits are the protection type (0 for none).
#define PROCESS_PROTECTION_INFORMATION 61
#define PROTECTION_TYPE_MASK 0x07

// Exit status of the JSON layouts.
#define JSON_STATUS_DONE 0
#define JSON_STATUS_NO_LIST 1    // the process list could not be read
#define JSON_STATUS_NOT_WRITTEN 2  // the output could not be written in full

// The watch lists the named pipes again at most this often.
#define PIPES_LIST_MILLISECONDS 1000

// A shell sets its prompt entry while it starts: cmd.exe without one is
// taken to have removed it only once it is older than this.
#define SHELL_START_MILLISECONDS 2000

typedef HANDLE (*OpenProcessFunction)(DWORD processId);

// The JSON layouts open each listed process for its shell test through this
// entry: OpenProcessForRead unless a test points it at its own function.
extern OpenProcessFunction OpenListedProcessEntry;
// A process that refused reading is asked for its protection through this
// entry: QueryProcessInformation unless a test points it at its own function.
extern QueryProcessInformationFunction QueryProtectionEntry;

typedef int (*OutputGoneFunction)(void);
// 1 when standard output is a pipe whose reader has gone (a write of no
// bytes answers ERROR_NO_DATA or ERROR_BROKEN_PIPE); a file or a console
// never goes.
int IsOutputReaderGone(void);
// The watch asks through this entry: IsOutputReaderGone unless a test points
// it at its own function.
extern OutputGoneFunction IsOutputGoneEntry;

// What the scan object says of the tool itself, which the entry point knows:
// its version, and the rights its token gives it.
typedef struct RUN_FACTS {
    const char* version;
    int foundElevated;
    int elevated;
    int foundDebugPrivilege;
    int debugPrivilege;
} RUN_FACTS;

typedef struct JSON_SCAN {
    WCHAR hostName[HOST_NAME_CHARS];
    DWORD ownProcessId;
    int flushEachLine;  // a watch's lines must reach their reader at once
    int outputFailed;   // a flush found the output broken
    int waitForPrompt;  // a young cmd.exe without a prompt entry is left for a later poll
    ULONGLONG listTime; // when the list was read, in FILETIME units (UTC)
    PROCESS_LIST list;
    int tablesAsked;    // the TCP tables were read for this list
    TCP_TABLES tables;
    int windowsAsked;   // the console windows were read for this list
    WINDOW_LIST windows;
    int pipesListed;    // the named pipes were listed once
    ULONGLONG pipesListedAt;  // GetTickCount64 of that listing
    ENGINE_PIPES pipes;
    SCAN_REPORT summary;
} JSON_SCAN;

// The scan object's facts that do not depend on the list.
void BeginJsonScan(JSON_SCAN* scan, const RUN_FACTS* facts);
// Reads the list, and the named pipes when they were last listed
// PIPES_LIST_MILLISECONDS ago or more; on failure sets the scan object's
// error and answers 0. *pipesListed says whether the pipes were listed.
int ReadJsonScanList(JSON_SCAN* scan, int* pipesListed);
// 1 when a process was created less than SHELL_START_MILLISECONDS before
// or after the list was read.
int IsStartingProcess(const JSON_SCAN* scan, ULONGLONG created);
// Tests one listed process and prints it when it is a shell: it has a
// prompt entry, or its image is a command interpreter's (then even when it
// cannot be opened). Answers the shell test's answer, PROMPT_PROTECTED for
// one that cannot be opened but reports protection, or PROMPT_SKIPPED (the
// tool's own process, the Idle process, and one that has ended since the
// list was read or whose id a later process took), with *listed 1 when a
// shell object was printed; counts nothing.
int ExamineListedProcess(JSON_SCAN* scan, const LISTED_PROCESS* process, int* listed);
// After a line: flushes it when the scan flushes each line, and notes a
// failed write.
void FlushJsonLine(JSON_SCAN* scan);
// Counts a process whose test could not read it in the scan object's
// unreadable, or in its protected; any other answer counts nowhere.
void CountUnreadProcess(JSON_SCAN* scan, int answer);
// Flushes standard output; JSON_STATUS_NOT_WRITTEN when anything written
// since the start was lost, else status.
int FinishJsonOutput(JSON_SCAN* scan, int status);

// -j: every shell, then the scan object; answers the exit status.
int ScanProcessesAsJson(const RUN_FACTS* facts);

#endif
