// The watch: every 100 ms the process list is read and set against the
// processes the last poll knew, by id and creation time (a reused id is a
// new process). A new process is tested once; one without a prompt entry,
// or that could not be read yet, is tested again while it is young, since a
// shell sets its prompt as it starts. A listed shell that is no longer there
// has ended. What the watch
// keeps is the live processes and the live shells, nothing of the ended.
#include "watch.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "environment.h"
#include "growbuffer.h"
#include "jsonscan.h"

#define KNOWN_NEW 0         // first seen by this poll, or skipped by the last one
#define KNOWN_CLEAN 1       // tested: no prompt entry
#define KNOWN_YOUNG 2       // tested without a prompt entry, or unreadable, to be tested again while young
#define KNOWN_SHELL 3       // listed
#define KNOWN_UNREADABLE 4  // could not be read, and no longer young; not tried again
// Listed with a creation time after the list's own: Wine lists a process in
// its first moments with a placeholder time, and the next poll has its
// real one. One still listed so at the next poll (a clock set back) is
// tested then, as a new process.
#define KNOWN_FUTURE 5
// Tested clean before, and to be tested again: a host pipe has appeared.
#define KNOWN_RETEST 6

// The system closes the console's processes once their handler returns: the
// time the watch gets to write its scan object.
#define WATCH_CLOSE_WAIT_MILLISECONDS 4000

typedef struct KNOWN_PROCESS {
    DWORD processId;
    DWORD state;
    ULONGLONG created;
} KNOWN_PROCESS;

typedef struct WATCHED_SHELL {
    DWORD processId;
    DWORD nameChars;
    ULONGLONG created;
    WCHAR name[MAX_PATH];
} WATCHED_SHELL;

// The last poll's processes and the one being built, each sorted by id and
// creation time; both grow with the number of live processes.
static KNOWN_PROCESS* Known[2] = {NULL, NULL};
static DWORD KnownCount[2] = {0, 0};
static DWORD KnownCapacity[2] = {0, 0};
static int LastPoll = 0;
static WATCHED_SHELL* Shells = NULL;
static DWORD ShellCount = 0;
static DWORD ShellCapacity = 0;

static HANDLE StopEvent = NULL;
static HANDLE DoneEvent = NULL;

BOOL WINAPI HandleWatchControl(DWORD controlType)
{
    // A logoff reaches a watch run as SYSTEM (a service wrapper, a scheduled
    // task, psexec -s) whenever any user signs out: it goes on watching.
    if (controlType == CTRL_LOGOFF_EVENT)
        return TRUE;
    if (StopEvent != NULL)
        SetEvent(StopEvent);
    if (controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT)
        return TRUE;
    if (DoneEvent != NULL)
        WaitForSingleObject(DoneEvent, WATCH_CLOSE_WAIT_MILLISECONDS);
    return TRUE;
}

static int CompareKnown(const void* left, const void* right)
{
    const KNOWN_PROCESS* a = (const KNOWN_PROCESS*)left;
    const KNOWN_PROCESS* b = (const KNOWN_PROCESS*)right;
    if (a->processId != b->processId)
        return a->processId < b->processId ? -1 : 1;
    if (a->created != b->created)
        return a->created < b->created ? -1 : 1;
    return 0;
}

static KNOWN_PROCESS* FindKnown(int which, DWORD processId, ULONGLONG created)
{
    KNOWN_PROCESS key;
    key.processId = processId;
    key.state = 0;
    key.created = created;
    if (KnownCount[which] == 0)
        return NULL;
    return (KNOWN_PROCESS*)bsearch(&key, Known[which], KnownCount[which], sizeof(KNOWN_PROCESS), CompareKnown);
}

static void RememberShell(const LISTED_PROCESS* process)
{
    if (!GrowArray((void**)&Shells, &ShellCapacity, ShellCount + 1, sizeof(WATCHED_SHELL), WATCH_PROCESSES_MAX))
        return;
    WATCHED_SHELL* shell = &Shells[ShellCount++];
    shell->processId = process->processId;
    shell->created = process->created;
    shell->nameChars = process->nameChars < MAX_PATH ? process->nameChars : MAX_PATH;
    memcpy(shell->name, process->name, shell->nameChars * sizeof(WCHAR));
}

// Prints an ended object for every remembered shell the poll no longer has.
static void ReportEndedShells(JSON_SCAN* scan, int poll, const FILETIME* now)
{
    ENDED_REPORT report;
    report.host = scan->summary.host;
    report.ended = *now;
    for (DWORD index = ShellCount; index > 0; index--) {
        WATCHED_SHELL* shell = &Shells[index - 1];
        if (FindKnown(poll, shell->processId, shell->created) != NULL)
            continue;
        report.processId = shell->processId;
        report.name = shell->name;
        report.nameChars = shell->nameChars;
        report.created = shell->created;
        PrintEndedObject(&report);
        FlushJsonLine(scan);
        Shells[index - 1] = Shells[--ShellCount];
    }
}

// Tests a process as its state asks and counts it. A young process without
// a prompt entry, or one that could not be read yet, is tested on every poll
// while it is young and once more when it is not, which also lists a
// cmd.exe that was left for later because it had not yet set its prompt; it
// counts as unreadable only when that last test could not read it either.
static void ExamineKnown(JSON_SCAN* scan, const LISTED_PROCESS* process, KNOWN_PROCESS* known)
{
    if (known->state != KNOWN_NEW && known->state != KNOWN_YOUNG && known->state != KNOWN_RETEST)
        return;
    int first = known->state == KNOWN_NEW;
    int retest = known->state == KNOWN_RETEST;
    int listed = 0;
    int answer = ExamineListedProcess(scan, process, &listed);
    if (answer == PROMPT_SKIPPED)
        return;
    if (listed) {
        known->state = KNOWN_SHELL;
        scan->summary.shells++;
        RememberShell(process);
    } else if (IsStartingProcess(scan, known->created)) {
        // A process may not be readable in its first moments either.
        known->state = KNOWN_YOUNG;
    } else {
        known->state = answer == PROMPT_UNREADABLE || answer == PROMPT_PROTECTED ? KNOWN_UNREADABLE : KNOWN_CLEAN;
    }
    // Counted once: among the processes when first met, among those not
    // read by the test that settles it.
    if (first)
        scan->summary.processes++;
    if (known->state != KNOWN_YOUNG && !retest)
        CountUnreadProcess(scan, answer);
}

// One poll; 0 when the list could not be read.
static int Poll(JSON_SCAN* scan)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int pipesListed = 0;
    if (!ReadJsonScanList(scan, &pipesListed))
        return 0;

    int poll = 1 - LastPoll;
    KnownCount[poll] = 0;
    LISTED_PROCESS process;
    DWORD position = 0;
    while (NextListedProcess(&scan->list, &position, &process) && KnownCount[poll] < WATCH_PROCESSES_MAX) {
        if (process.processId == scan->ownProcessId ||
            !GrowArray((void**)&Known[poll], &KnownCapacity[poll], KnownCount[poll] + 1, sizeof(KNOWN_PROCESS),
                       WATCH_PROCESSES_MAX))
            continue;
        KNOWN_PROCESS* known = &Known[poll][KnownCount[poll]++];
        const KNOWN_PROCESS* before = FindKnown(LastPoll, process.processId, process.created);
        known->processId = process.processId;
        known->created = process.created;
        if (before != NULL)
            known->state = before->state == KNOWN_FUTURE ? KNOWN_NEW : before->state;
        // A process may start the PowerShell engine long after it started
        // itself: one tested clean is tested again when its pipe appears.
        if (before != NULL && pipesListed && before->state == KNOWN_CLEAN &&
            FindEnginePipe(&scan->pipes, &process) != NULL)
            known->state = KNOWN_RETEST;
        else if (before == NULL)
            known->state = process.created > scan->listTime ? KNOWN_FUTURE : KNOWN_NEW;
    }
    if (KnownCount[poll] > 1)
        qsort(Known[poll], KnownCount[poll], sizeof(KNOWN_PROCESS), CompareKnown);

    ReportEndedShells(scan, poll, &now);
    position = 0;
    while (NextListedProcess(&scan->list, &position, &process) && !scan->outputFailed) {
        KNOWN_PROCESS* known = FindKnown(poll, process.processId, process.created);
        if (known != NULL)
            ExamineKnown(scan, &process, known);
    }
    LastPoll = poll;
    return 1;
}

int WatchProcesses(DWORD seconds, const RUN_FACTS* facts)
{
    static JSON_SCAN scan;
    BeginJsonScan(&scan, facts);
    scan.flushEachLine = 1;
    scan.waitForPrompt = 1;
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DoneEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(HandleWatchControl, TRUE);

    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
    int status = JSON_STATUS_DONE;
    int listFailing = 0;
    ULONGLONG failingSince = 0;
    DWORD retryWait = 0;
    for (;;) {
        ULONGLONG pollStarted = GetTickCount64();
        DWORD wait = WATCH_POLL_MILLISECONDS;
        if (Poll(&scan)) {
            listFailing = 0;
            scan.summary.errorCall = NULL;
        } else {
            // One failed read of the list does not end a week-long watch:
            // it is read again, less and less often, for a while.
            retryWait = listFailing ? retryWait * 2 : WATCH_POLL_MILLISECONDS;
            if (retryWait > WATCH_RETRY_MAX_MILLISECONDS)
                retryWait = WATCH_RETRY_MAX_MILLISECONDS;
            if (!listFailing)
                failingSince = pollStarted;
            listFailing = 1;
            wait = retryWait;
            if (pollStarted - failingSince >= WATCH_LIST_FAILING_MILLISECONDS) {
                status = JSON_STATUS_NO_LIST;
                break;
            }
        }
        // A collector that has gone is noticed even while nothing is written.
        if (!scan.outputFailed && IsOutputGoneEntry != NULL && IsOutputGoneEntry())
            scan.outputFailed = 1;
        if (scan.outputFailed)
            break;
        ULONGLONG next = pollStarted + wait;
        if (seconds != 0 && next > deadline)
            next = deadline;
        ULONGLONG current = GetTickCount64();
        DWORD remaining = next > current ? (DWORD)(next - current) : 0;
        if (StopEvent == NULL)
            Sleep(remaining);
        else if (WaitForSingleObject(StopEvent, remaining) == WAIT_OBJECT_0)
            break;
        if (seconds != 0 && GetTickCount64() >= deadline)
            break;
    }
    scan.summary.watched = 1;
    GetSystemTimeAsFileTime(&scan.summary.ended);
    PrintScanObject(&scan.summary);
    status = FinishJsonOutput(&scan, status);
    // A close event that comes now finds the watch done and returns at once.
    if (DoneEvent != NULL)
        SetEvent(DoneEvent);
    return status;
}
