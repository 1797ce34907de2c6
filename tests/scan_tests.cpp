// The scan's lookups and helpers, called in-process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "consolehost.h"
#include "enginepipes.h"
#include "logonsession.h"
#include "privilege.h"
#include "json_value.h"
#include "jsonscan.h"
#include "processlist.h"
#include "tcptable.h"
#include "scan.h"
#include "support.h"
#include "target_modes.h"
#include "watch.h"
#include "wow64_query.h"

namespace {

TEST(CapitalizeFirstLetter, RaisesOnlyALeadingAsciiLowerCaseLetter)
{
    struct {
        const char* before;
        const char* after;
    } cases[] = {
        {"cmd.exe", "Cmd.exe"}, {"a", "A"},         {"zsh.exe", "Zsh.exe"}, {"Cmd.exe", "Cmd.exe"},
        {"1cmd.exe", "1cmd.exe"}, {"", ""},         {"`x", "`x"},           {"{x", "{x"},
        {"\xe4x.exe", "\xe4x.exe"}, {"cmd.exe *32", "Cmd.exe *32"},
    };
    for (const auto& each : cases) {
        char text[32];
        strcpy(text, each.before);
        CapitalizeFirstLetter(text);
        EXPECT_STREQ(each.after, text) << each.before;
    }
}

std::string WindowsDirectory()
{
    char directory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(directory, sizeof(directory));
    return std::string(directory, length);
}

TEST(ExpandSystemRootPath, RewritesThePrefixInAnyCase)
{
    char text[FIELD_BUFFER_BYTES];
    ExpandSystemRootPath("\\SystemRoot\\System32\\smss.exe", text, sizeof(text));
    EXPECT_EQ(WindowsDirectory() + "\\System32\\smss.exe", text);
    ExpandSystemRootPath("\\SYSTEMROOT\\System32\\csrss.exe", text, sizeof(text));
    EXPECT_EQ(WindowsDirectory() + "\\System32\\csrss.exe", text);
    ExpandSystemRootPath("\\systemroot\\x.exe", text, sizeof(text));
    EXPECT_EQ(WindowsDirectory() + "\\x.exe", text);
    ExpandSystemRootPath("\\SystemRoot\\", text, sizeof(text));
    EXPECT_EQ(WindowsDirectory() + "\\", text);
}

TEST(ExpandSystemRootPath, LeavesOtherPathsAsTheyAre)
{
    const char* paths[] = {"C:\\Windows\\System32\\cmd.exe", "\\SystemRoot", "\\SystemRootX\\a.exe",
                           "SystemRoot\\System32\\a.exe", "\\??\\C:\\Windows\\a.exe", ""};
    for (const char* path : paths) {
        char text[FIELD_BUFFER_BYTES];
        memset(text, 'Q', sizeof(text));
        ExpandSystemRootPath(path, text, sizeof(text));
        EXPECT_STREQ(path, text);
    }
}

TEST(ExpandSystemRootPath, StaysWithinTheCapacity)
{
    char text[40];
    memset(text, 'Q', sizeof(text));
    ExpandSystemRootPath("\\SystemRoot\\System32\\a-rather-long-folder-name\\program.exe", text, 20);
    EXPECT_EQ(19u, strlen(text));
    EXPECT_EQ(0, strncmp(text, (WindowsDirectory() + "\\System32").c_str(), 19));
    for (size_t index = 20; index < sizeof(text); index++)
        EXPECT_EQ('Q', text[index]) << index;
}

TEST(ProcessLookups, FailedLookupsGiveSystemAndAnEmptyPath)
{
    // 0 is the idle process, which cannot be opened; process ids are
    // multiples of four, so the other is never one.
    const DWORD unopenable[] = {0, 0xFFFFFFF1};
    for (DWORD processId : unopenable) {
        char text[FIELD_BUFFER_BYTES];
        memset(text, 'Q', sizeof(text));
        EXPECT_EQ(0, GetProcessUserName(processId, text, sizeof(text))) << processId;
        EXPECT_STREQ("SYSTEM", text);
        memset(text, 'Q', sizeof(text));
        EXPECT_EQ(0, GetProcessImagePath(processId, text, sizeof(text))) << processId;
        EXPECT_STREQ("", text);
        EXPECT_EQ(0, IsProcess32Bit(processId)) << processId;
    }

    // An exited process has no modules left to name its path.
    Target target;
    ASSERT_TRUE(StartTarget(MODE_UNCHANGED, &target));
    DWORD exited = target.info.dwProcessId;
    StopTarget(&target);
    char text[FIELD_BUFFER_BYTES];
    memset(text, 'Q', sizeof(text));
    EXPECT_EQ(0, GetProcessImagePath(exited, text, sizeof(text)));
    EXPECT_STREQ("", text);
}

TEST(ProcessLookups, ALiveTargetGivesItsOwnerAndPath)
{
    Target target;
    ASSERT_TRUE(StartTarget(MODE_UNCHANGED, &target));
    char text[FIELD_BUFFER_BYTES];
    memset(text, 'Q', sizeof(text));
    EXPECT_EQ(1, GetProcessUserName(target.info.dwProcessId, text, sizeof(text)));
    EXPECT_EQ(CurrentUserName(), text);
    memset(text, 'Q', sizeof(text));
    EXPECT_EQ(1, GetProcessImagePath(target.info.dwProcessId, text, sizeof(text)));
    EXPECT_EQ(BinDirectory() + TARGET_PROGRAM, text);
    StopTarget(&target);
}


// Runs a scan with standard output sent to a file; answers what it printed.
std::string CaptureOutput(void (*print)(int), int mode);

int LastJsonStatus = -1;

void ScanAsText(int mode)
{
    DWORD errorCode = 0;
    ScanProcesses(mode, &errorCode);
}

void ScanAsJson(int unused)
{
    (void)unused;
    RUN_FACTS facts;
    ReadRunFacts(&facts);
    LastJsonStatus = ScanProcessesAsJson(&facts);
}

std::string CaptureScan(int mode)
{
    return CaptureOutput(mode == OUTPUT_JSON ? ScanAsJson : ScanAsText, mode);
}

std::string CaptureOutput(void (*print)(int), int mode)
{
    char folder[MAX_PATH];
    char path[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    GetTempFileNameA(folder, "msc", 0, path);
    fflush(stdout);
    int saved = _dup(_fileno(stdout));
    int file = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(file, _fileno(stdout));
    print(mode);
    fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    _close(file);

    std::string text;
    FILE* stream = fopen(path, "rb");
    if (stream != NULL) {
        char chunk[4096];
        size_t read = 0;
        while ((read = fread(chunk, 1, sizeof(chunk), stream)) > 0)
            text.append(chunk, read);
        fclose(stream);
    }
    DeleteFileA(path);
    return text;
}

TEST(ReplaceControlCharacters, EveryByteBelowSpaceAndDeleteBecomeQuestionMarks)
{
    char text[] = "a\rb\nc\td\x1b[31me\x7f\x01\x1f f\x80\xe4~";
    ReplaceControlCharacters(text);
    EXPECT_STREQ("a?b?c?d?[31me??? f\x80\xe4~", text);
}

void PrintRecordWithControls(int mode)
{
    PrintProcessRecord(mode, 4, 0, "SY\nSTEM", "cmd.exe\r\n\r\n\r\n Process ID=8;", "C:\\a\tb\x1b\\c.exe\x7f");
}

TEST(PrintProcessRecord, ControlCharactersNeverBreakARecord)
{
    const std::string separator = "\n\n" + std::string(64, '-');
    std::string line = CaptureOutput(PrintRecordWithControls, OUTPUT_LINE);
    EXPECT_NE(std::string::npos,
              line.find("\n\n\n Process ID=4; Parent Process ID=0; Process Name=cmd.exe?????? Process ID=8;; User "
                        "Name=SY?STEM; Process Path=C:\\a?b?\\c.exe?;" +
                        separator))
        << line;
    std::string xml = CaptureOutput(PrintRecordWithControls, OUTPUT_XML);
    EXPECT_NE(std::string::npos, xml.find("\n    <User_Name> SY?STEM </User_Name>")) << xml;
    std::string block = CaptureOutput(PrintRecordWithControls, OUTPUT_BLOCK);
    EXPECT_NE(std::string::npos, block.find("\n\n\tProcess Path:        C:\\a?b?\\c.exe?" + separator)) << block;
    for (const std::string& output : {line, xml, block}) {
        EXPECT_EQ(std::string::npos, output.find_first_of("\r\x1b\x7f")) << output;
        EXPECT_EQ(std::string::npos, output.find("\nSTEM")) << output;
    }
}

void PrintAwkwardJsonText(int unused)
{
    (void)unused;
    // A quote, a backslash, controls, DEL, Latin-1, a pair for U+1F600, a
    // lone high and a lone low surrogate, a NUL inside the count.
    static const WCHAR text[] = {'"', '\\', '\n', '\r', '\t', 0x01, 0x1F, 0x7F, 0xE9, 0xD83D, 0xDE00,
                                 0xD800, 'x',  0xDC00, 0,    'y'};
    PrintJsonText(text, sizeof(text) / sizeof(text[0]));
}

TEST(PrintJsonText, EscapesAsJsonRequiresAndWritesUtf8)
{
    EXPECT_EQ("\"\\\"\\\\\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdx\xef\xbf\xbd\\u0000y\"",
              CaptureOutput(PrintAwkwardJsonText, 0));
}

TEST(IsProcess32Bit, ReportsWhatTheWow64QueryAnswers)
{
    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));

    QueryWow64InformationEntry = NULL;
    EXPECT_EQ(0, IsProcess32Bit(target.info.dwProcessId));
    RestoreWow64Query();
    EXPECT_EQ(0, IsProcess32Bit(target.info.dwProcessId));

    AnswerWow64Query(target.info.dwProcessId, 0x7FFE0000);
    FakeWow64Queries = 0;
    EXPECT_EQ(1, IsProcess32Bit(target.info.dwProcessId));
    EXPECT_EQ(1, FakeWow64Queries);

    // The whole scan marks the 32-bit target, capitalised and with " *32"
    // (its shell test reads its 64-bit view: the 32-bit one is made up).
    std::string line = "Process ID=" + std::to_string(target.info.dwProcessId) +
                       "; Parent Process ID=" + std::to_string(GetCurrentProcessId()) +
                       "; Process Name=Murk_target.exe *32; User Name=" + CurrentUserName() +
                       "; Process Path=" + BinDirectory() + TARGET_PROGRAM + ";";
    std::string output = CaptureScan(1);
    EXPECT_NE(std::string::npos, output.find(line)) << output;

    RestoreWow64Query();
    output = CaptureScan(1);
    EXPECT_NE(std::string::npos, output.find("; Process Name=Murk_target.exe; User Name=")) << output;
    StopTarget(&target);
}

TEST(ScanProcesses, AWow64ShellWithItsPromptOnlyInThe32BitViewIsListed)
{
    Target target;
    ULONG_PTR peb32 = 0;
    ASSERT_TRUE(StartWow64Target(MODE_WOW64_PROMPT_32, &target, &peb32));
    // One query tells both the shell test and the name's " *32".
    std::string line = "\n\n\n Process ID=" + std::to_string(target.info.dwProcessId) +
                       "; Parent Process ID=" + std::to_string(GetCurrentProcessId()) +
                       "; Process Name=Murk_target.exe *32; User Name=" + CurrentUserName() +
                       "; Process Path=" + BinDirectory() + TARGET_PROGRAM + ";\n\n" + std::string(64, '-');

    // Wine answers 0 to the real query: the 64-bit view alone holds no prompt.
    std::string output = CaptureScan(1);
    EXPECT_EQ(std::string::npos, output.find("Process ID=" + std::to_string(target.info.dwProcessId) + ";"))
        << output;

    AnswerWow64Query(target.info.dwProcessId, peb32);
    output = CaptureScan(1);
    RestoreWow64Query();
    EXPECT_NE(std::string::npos, output.find(line)) << output;
    StopTarget(&target);
}

// The shell object a JSON scan printed for a process, as its line.
std::string ShellLine(const std::string& output, DWORD processId)
{
    for (const std::string& line : SplitLines(output))
        if (line.find("\"type\":\"shell\",") != std::string::npos &&
            line.find(",\"pid\":" + std::to_string(processId) + ",") != std::string::npos)
            return line;
    return std::string();
}

TEST(ScanProcesses, TheEvidenceOfAWow64ShellComesFromIts32BitParameters)
{
    Target target;
    ULONG_PTR peb32 = 0;
    ASSERT_TRUE(StartWow64Target(MODE_WOW64_PROMPT_32, &target, &peb32));
    AnswerWow64Query(target.info.dwProcessId, peb32);
    std::string line = ShellLine(CaptureScan(OUTPUT_JSON), target.info.dwProcessId);
    RestoreWow64Query();

    JsonValue shell;
    std::string error;
    ASSERT_TRUE(ParseJson(line, &shell, &error)) << error << ": " << line;
    EXPECT_EQ("true", shell.Find("wow64")->text);
    EXPECT_EQ(WOW64_COMMAND_LINE, shell.Find("command_line")->text);
    EXPECT_EQ(WOW64_DIRECTORY, shell.Find("current_directory")->text);
    EXPECT_EQ("PROMPT=$P$G", shell.Find("prompt_entry")->text);
    // The 32-bit start-up flags: a hidden window, no standard handles (the
    // 64-bit parameters say the opposite: pipes, no window flags).
    EXPECT_EQ("true", shell.Find("started_hidden")->text);
    EXPECT_EQ("false", shell.Find("redirected_stdio")->text);
    EXPECT_NE(std::string::npos, line.find("\"signs\":[\"started-hidden\",\"no-window\"]}")) << line;
    StopTarget(&target);

    // With its 32-bit parameters unreadable, the 64-bit ones it was created with.
    ASSERT_TRUE(StartWow64Target(MODE_WOW64_PROMPT_64_PARAMETERS_NOACCESS, &target, &peb32));
    AnswerWow64Query(target.info.dwProcessId, peb32);
    line = ShellLine(CaptureScan(OUTPUT_JSON), target.info.dwProcessId);
    RestoreWow64Query();
    ASSERT_TRUE(ParseJson(line, &shell, &error)) << error << ": " << line;
    EXPECT_EQ("\"" + BinDirectory() + TARGET_PROGRAM "\" " MODE_WOW64_PROMPT_64_PARAMETERS_NOACCESS,
              shell.Find("command_line")->text);
    EXPECT_EQ(CurrentDirectory(), shell.Find("current_directory")->text);
    EXPECT_NE(std::string::npos, line.find("\"signs\":[\"no-window\",\"redirected-stdio\"]}")) << line;
    StopTarget(&target);
}

// The process list as the system gives it, with one change a case asks for:
// the shell's creation time moved on (its id taken by a later process), its
// parent created after it or without a time, the shell's record named
// cmd.exe and its open refused (as a protected process's, too), the shell gone by the time it is opened, or
// the list not read at all.
enum ListChange { LIST_AS_IS, SHELL_ID_REUSED, PARENT_LATER, PARENT_UNDATED, UNOPENABLE_CMD, UNOPENABLE_PROTECTED,
                  SHELL_GONE, LIST_FAILS, FAMILY_CHAIN, FAMILY_CYCLE, FAMILY_LATER };
ListChange Change = LIST_AS_IS;
DWORD ChangedShell = 0;
ULONGLONG ChangedShellCreated = 0;

// For the family cases, records of ids no process has appended to the list:
// a chain of ten above the shell, its first the shell's parent, each created
// 1 ms before the one below it (or, in the cycle case, the third as old as
// the second and naming it as its parent; in the later case, the second
// created after the first); and for the chain, 70 children and one created
// before the shell.
const ULONG_PTR FAKE_ID = 0x7F000000;
const ULONG_PTR FAKE_PARENT = FAKE_ID + 1;
const ULONGLONG ONE_MILLISECOND = 10000;

struct FakeProcess {
    ULONG_PTR id;
    ULONG_PTR parent;
    ULONGLONG created;
};

void AppendFamily(unsigned char* buffer, DWORD length, DWORD* returnLength)
{
    std::vector<FakeProcess> fakes;
    for (ULONG_PTR step = 1; step <= 10; step++) {
        bool cycle = Change == FAMILY_CYCLE && step == 3;
        ULONGLONG created = ChangedShellCreated - (cycle ? 2 : step) * ONE_MILLISECOND;
        if (Change == FAMILY_LATER && step == 2)
            created = ChangedShellCreated;
        fakes.push_back({FAKE_ID + step, cycle ? FAKE_ID + 2 : step == 10 ? 4 : FAKE_ID + step + 1, created});
    }
    for (ULONG_PTR child = 0; Change == FAMILY_CHAIN && child <= 70; child++)
        fakes.push_back({FAKE_ID + 99 + child, ChangedShell, ChangedShellCreated + child - 1});
    const DWORD recordBytes = LIST_RECORD_BYTES + 16;
    DWORD last = 0;
    for (;;) {
        DWORD next = 0;
        memcpy(&next, buffer + last, sizeof(next));
        if (next == 0)
            break;
        last += next;
    }
    DWORD at = (*returnLength + 7) & ~7u;
    if (at + fakes.size() * recordBytes > length)
        return;
    DWORD first = at - last;
    memcpy(buffer + last + LIST_NEXT_OFFSET, &first, sizeof(first));
    for (size_t index = 0; index < fakes.size(); index++) {
        unsigned char* record = buffer + at + index * recordBytes;
        memset(record, 0, recordBytes);
        DWORD next = index + 1 < fakes.size() ? recordBytes : 0;
        memcpy(record + LIST_NEXT_OFFSET, &next, sizeof(next));
        memcpy(record + LIST_PROCESS_ID_OFFSET, &fakes[index].id, sizeof(ULONG_PTR));
        memcpy(record + LIST_PARENT_ID_OFFSET, &fakes[index].parent, sizeof(ULONG_PTR));
        memcpy(record + LIST_CREATE_TIME_OFFSET, &fakes[index].created, sizeof(ULONGLONG));
        unsigned char* name = record + LIST_RECORD_BYTES;
        memcpy(name, L"fake.exe", 8 * sizeof(WCHAR));
        *(USHORT*)(record + LIST_IMAGE_NAME_OFFSET) = 8 * sizeof(WCHAR);
        memcpy(record + LIST_IMAGE_NAME_OFFSET + 8, &name, sizeof(name));
    }
    *returnLength = at + (DWORD)(fakes.size() * recordBytes);
}

// For the watch: how many opens of the shell are still to be refused, as a
// process in its first moments may not be readable.
int RefusedOpens = 0;

// The shell's open refused as a protected process's is, or failing as it
// does for an id no process has.
HANDLE OpenChangedShell(DWORD processId)
{
    if (processId == ChangedShell && RefusedOpens > 0) {
        RefusedOpens--;
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    if (processId != ChangedShell || (Change != UNOPENABLE_CMD && Change != UNOPENABLE_PROTECTED && Change != SHELL_GONE))
        return OpenProcessForRead(processId);
    SetLastError(Change == SHELL_GONE ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
    return NULL;
}

// The shell reports the protection of a protected process light (signer
// WinTcb) when the case asks; Wine has no protected processes.
LONG ChangedProtection(HANDLE process, DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    if (Change != UNOPENABLE_PROTECTED || GetProcessId(process) != ChangedShell || length < 1)
        return QueryProcessInformation(process, informationClass, buffer, length, returnLength);
    *(BYTE*)buffer = 0x61;
    return 0;
}

LONG ChangedList(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    if (Change == LIST_FAILS)
        return (LONG)0xC0000001L;
    LONG status = QuerySystemInformation(informationClass, buffer, length, returnLength);
    for (unsigned char* record = (unsigned char*)buffer; status == 0;) {
        DWORD processId = 0;
        ULONGLONG* created = (ULONGLONG*)(record + LIST_CREATE_TIME_OFFSET);
        memcpy(&processId, record + LIST_PROCESS_ID_OFFSET, sizeof(processId));
        if (processId == ChangedShell && Change == SHELL_ID_REUSED)
            *created += 1;
        if (processId == ChangedShell && Change >= FAMILY_CHAIN)
            memcpy(record + LIST_PARENT_ID_OFFSET, &FAKE_PARENT, sizeof(FAKE_PARENT));
        if (processId == ChangedShell && (Change == UNOPENABLE_CMD || Change == UNOPENABLE_PROTECTED)) {
            WCHAR* name = NULL;
            memcpy(&name, record + LIST_IMAGE_NAME_OFFSET + 8, sizeof(name));
            memcpy(name, L"cmd.exe", 7 * sizeof(WCHAR));
            *(USHORT*)(record + LIST_IMAGE_NAME_OFFSET) = 7 * sizeof(WCHAR);
        }
        if (processId == GetCurrentProcessId() && (Change == PARENT_LATER || Change == PARENT_UNDATED))
            *created = Change == PARENT_LATER ? ChangedShellCreated + 1 : 0;
        DWORD next = 0;
        memcpy(&next, record + LIST_NEXT_OFFSET, sizeof(next));
        if (next == 0)
            break;
        record += next;
    }
    if (status == 0 && Change >= FAMILY_CHAIN)
        AppendFamily((unsigned char*)buffer, length, returnLength);
    return status;
}

// Starts the shell whose list entry the cases change, and reads the list
// through ChangedList.
bool StartChangedShell(Target* target)
{
    FILETIME times[4];
    if (!StartTarget(MODE_PROMPT_FIRST, target))
        return false;
    ChangedShell = target->info.dwProcessId;
    if (!GetProcessTimes(target->info.hProcess, &times[0], &times[1], &times[2], &times[3]))
        return false;
    ChangedShellCreated = (ULONGLONG)times[0].dwHighDateTime << 32 | times[0].dwLowDateTime;
    QuerySystemInformationEntry = ChangedList;
    return true;
}

TEST(ScanProcessesAsJson, TheListDecidesWhetherTheParentRunsAndAReusedIdIsSkipped)
{
    Target target;
    ASSERT_TRUE(StartChangedShell(&target));
    OpenListedProcessEntry = OpenChangedShell;
    QueryProtectionEntry = ChangedProtection;
    struct {
        ListChange change;
        const char* parent;  // the shell line's parent object, "" for no line
        int status;
    } cases[] = {
        {LIST_AS_IS, "\"running\":true}", 0},
        {SHELL_ID_REUSED, "", 0},
        {PARENT_LATER, "\"name\":null,\"path\":null,\"running\":false}", 0},
        {PARENT_UNDATED, "\"name\":null,\"path\":null,\"running\":null}", 0},
        {UNOPENABLE_CMD, "\"running\":true}", 0},
        {UNOPENABLE_PROTECTED, "\"running\":true}", 0},
        {SHELL_GONE, "", 0},
        {LIST_FAILS, "", 1},
    };
    for (const auto& each : cases) {
        Change = each.change;
        std::string output = CaptureScan(OUTPUT_JSON);
        std::string line = ShellLine(output, target.info.dwProcessId);
        std::string parent = each.parent;
        bool unopenable = each.change == UNOPENABLE_CMD || each.change == UNOPENABLE_PROTECTED;
        if (unopenable) {
            // Listed from the list alone, and counted as unreadable or protected.
            EXPECT_NE(std::string::npos,
                      line.find(",\"name\":\"cmd.exe\",\"wow64\":null,\"user\":null,\"domain\":null,\"sid\":null,"
                                "\"integrity\":null,\"logon\":null,\"path\":null,\"command_line\":null,\"current_directory\":null,"
                                "\"prompt_entry\":null,\"interpreter\":\"cmd\",\"original_name\":null,"))
                << output;
            EXPECT_NE(std::string::npos,
                      line.find("\"started_hidden\":null,\"redirected_stdio\":null,\"stdio_one_handle\":null"))
                << line;
        }
        // A process that cannot be opened counts as unreadable, or as
        // protected when it says it is; one that has gone counts nowhere.
        std::string counts = std::string("\"unreadable\":") + (each.change == UNOPENABLE_CMD ? "1" : "0") +
                             ",\"protected\":" + (each.change == UNOPENABLE_PROTECTED ? "1" : "0") + ",";
        EXPECT_NE(std::string::npos, output.find(counts)) << each.change << ": " << output;
        EXPECT_EQ(each.status, LastJsonStatus) << each.change;
        EXPECT_EQ(parent.empty(), line.empty()) << each.change << ": " << output;
        EXPECT_NE(std::string::npos, line.find(parent)) << each.change << ": " << line;
        EXPECT_EQ(each.change == PARENT_LATER, line.find("\"parent-gone\"") != std::string::npos) << line;
    }
    EXPECT_NE(std::string::npos, CaptureScan(OUTPUT_JSON).find(
                                     ",\"error\":{\"call\":\"NtQuerySystemInformation\",\"code\":3221225473}}\n"));
    QuerySystemInformationEntry = QuerySystemInformation;
    OpenListedProcessEntry = OpenProcessForRead;
    QueryProtectionEntry = QueryProcessInformation;
    Change = LIST_AS_IS;
    StopTarget(&target);
}

// The pids of a shell line's list, those of the fake ids only.
std::vector<ULONG_PTR> FakePids(const JsonValue& shell, const char* list)
{
    std::vector<ULONG_PTR> pids;
    for (const JsonValue& item : shell.Find(list)->items)
        if (std::stoull(item.Find("pid")->text) >= FAKE_ID)
            pids.push_back((ULONG_PTR)std::stoull(item.Find("pid")->text) - FAKE_ID);
    return pids;
}

TEST(ScanProcessesAsJson, AncestorsAndChildrenComeFromTheListAndAreCut)
{
    Target target;
    ASSERT_TRUE(StartChangedShell(&target));
    struct {
        ListChange change;
        std::vector<ULONG_PTR> ancestors;  // after FAKE_ID
    } cases[] = {
        {FAMILY_CHAIN, {2, 3, 4, 5, 6, 7, 8, 9}},  // cut at 8; children cut at 64, the early one left out
        {FAMILY_CYCLE, {2, 3}},                    // the cycle ends it
        {FAMILY_LATER, {}},                        // a reused id ends it
    };
    for (const auto& each : cases) {
        Change = each.change;
        std::string line = ShellLine(CaptureScan(OUTPUT_JSON), target.info.dwProcessId);
        JsonValue shell;
        std::string error;
        ASSERT_TRUE(ParseJson(line, &shell, &error)) << error << ": " << line;
        EXPECT_EQ(std::to_string(FAKE_PARENT), shell.Find("parent")->Find("pid")->text);
        EXPECT_EQ(each.ancestors, FakePids(shell, "ancestors")) << each.change << ": " << line;
        // In list order, after any real child (Wine's conhost.exe of the
        // target's console), up to 64 in all.
        std::vector<ULONG_PTR> fakes = FakePids(shell, "children");
        size_t real = shell.Find("children")->items.size() - fakes.size();
        std::vector<ULONG_PTR> expected;
        for (ULONG_PTR child = 100; each.change == FAMILY_CHAIN && expected.size() + real < 64; child++)
            expected.push_back(child);
        EXPECT_EQ(expected, fakes) << each.change << ": " << line;
        EXPECT_EQ(each.change == FAMILY_CHAIN ? "true" : "false", shell.Find("children_cut")->text);
    }
    QuerySystemInformationEntry = QuerySystemInformation;
    Change = LIST_AS_IS;
    StopTarget(&target);
}

TEST(NameConsoleHostMode, TheCommandLineSaysHowAHostWasStarted)
{
    struct {
        const wchar_t* commandLine;
        const char* mode;
    } cases[] = {
        {L"\\??\\C:\\Windows\\system32\\conhost.exe 0xffffffff -ForceV1", "classic"},
        {L"\"C:\\windows\\system32\\conhost.exe\" --server 0x30", "classic"},  // Wine's console with a window
        {L"conhost.exe --headless --width 80 --height 25 --signal 0x1 -- cmd.exe", "pseudo-console"},  // OpenSSH's
        {L"\"C:\\Program Files\\WT\\OpenConsole.exe\" --headless --width 120 --height 30 --signal 0x9fc --server 0x9f4",
         "pseudo-console"},
        {L"conhost.exe --headless cmd.exe /c whoami", "headless-launcher"},
        {L"conhost.exe --headless --width 80 \"C:\\Users\\x\\run me.exe\"", "headless-launcher"},
        {L"C:\\Windows\\System32\\conhost.exe -Embedding", "handoff"},
        {L"\"C:\\windows\\system32\\conhost.exe\" --server 0x30 --headless", "other"},  // Wine's, without a window
        {L"conhost.exe --headless --width 80", "other"},
        {L"", "other"},
    };
    for (const auto& each : cases)
        EXPECT_STREQ(each.mode, NameConsoleHostMode(each.commandLine, wcslen(each.commandLine))) << Utf8(each.commandLine);
}

TEST(IsStartingProcess, YoungOnlyWithinTwoSecondsEitherSideOfTheListTime)
{
    // A clock stepped back leaves creation times ahead of the list's: one
    // an hour ahead is not young for the hour the clock is behind.
    static JSON_SCAN scan;
    scan.listTime = 134000000000000000ULL;
    const LONGLONG TENTH = 1000000;  // 100 ms in FILETIME units
    struct {
        LONGLONG offset;  // creation time minus the list's, in tenths of a second
        int young;
    } cases[] = {{-30, 0}, {-19, 1}, {0, 1}, {19, 1}, {30, 0}, {36000, 0}};
    for (const auto& each : cases)
        EXPECT_EQ(each.young, IsStartingProcess(&scan, scan.listTime + each.offset * TENTH)) << each.offset;
    EXPECT_EQ(0, IsStartingProcess(&scan, 0));
}

void WatchFor(int seconds)
{
    RUN_FACTS facts;
    ReadRunFacts(&facts);
    LastJsonStatus = WatchProcesses((DWORD)seconds, &facts);
}

TEST(WatchProcesses, AYoungProcessThatCannotBeReadYetIsTestedAgain)
{
    Target target;
    ASSERT_TRUE(StartChangedShell(&target));
    QuerySystemInformationEntry = QuerySystemInformation;
    OpenListedProcessEntry = OpenChangedShell;
    RefusedOpens = 3;
    std::string output = CaptureOutput(WatchFor, 1);
    OpenListedProcessEntry = OpenProcessForRead;
    EXPECT_EQ(0, RefusedOpens);
    EXPECT_NE("", ShellLine(output, target.info.dwProcessId)) << output;
    EXPECT_NE(std::string::npos, output.find("\"unreadable\":0,")) << output;
    StopTarget(&target);
}

// The list refused for the first reads, then read as the system gives it.
int FailedListReads = 0;

LONG ListFailingAtFirst(DWORD informationClass, void* buffer, DWORD length, DWORD* returnLength)
{
    if (FailedListReads > 0) {
        FailedListReads--;
        return (LONG)0xC0000001L;
    }
    return QuerySystemInformation(informationClass, buffer, length, returnLength);
}

// A user signing out while the watch runs.
DWORD WINAPI SignOut(void*)
{
    Sleep(300);
    HandleWatchControl(CTRL_LOGOFF_EVENT);
    return 0;
}

// The collector's end of the output, gone after a few probes.
int ProbesBeforeGone = 0;

int OutputGoneAfterProbes(void)
{
    return --ProbesBeforeGone < 0;
}

TEST(WatchProcesses, KeepsWatchingThroughListFailuresAndALogoffAndEndsWhenItsReaderHasGone)
{
    // Four failed reads (about 1.5 s of retries) and a logoff are
    // outlasted to the end of its 4 s; a reader gone while nothing is
    // written ends the watch with status 2 long before its 10 s.
    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));
    QuerySystemInformationEntry = ListFailingAtFirst;
    FailedListReads = 4;
    HANDLE thread = CreateThread(NULL, 0, SignOut, NULL, 0, NULL);
    ULONGLONG started = GetTickCount64();
    std::string output = CaptureOutput(WatchFor, 4);
    EXPECT_LE(3500u, GetTickCount64() - started) << "the watch stopped before its end";
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    QuerySystemInformationEntry = QuerySystemInformation;
    EXPECT_EQ(0, FailedListReads);
    EXPECT_EQ(0, LastJsonStatus) << output;
    EXPECT_NE("", ShellLine(output, target.info.dwProcessId)) << output;
    EXPECT_NE(std::string::npos, output.find(",\"error\":null,\"ended\":")) << output;
    StopTarget(&target);

    IsOutputGoneEntry = OutputGoneAfterProbes;
    ProbesBeforeGone = 3;
    started = GetTickCount64();
    CaptureOutput(WatchFor, 10);
    IsOutputGoneEntry = IsOutputReaderGone;
    EXPECT_EQ(2, LastJsonStatus);
    EXPECT_GT(8000u, GetTickCount64() - started);
}


// TCP rows of the test's own choosing: the shell's, its parent's (this test
// program) and an unrelated process's, in both families; or a table long
// enough to be cut and to make the tool grow its buffer; or no table; a
// parent's listener; no IPv6 table; link-local addresses with a scope id.
enum TableKind { TABLE_MIXED, TABLE_LONG, TABLE_FAILS, TABLE_PARENT_LISTENS, TABLE_IPV6_FAILS, TABLE_LINK_LOCAL };
const DWORD TCP_STATE_TIME_WAIT = 11;
TableKind Tables = TABLE_MIXED;
DWORD TableShell = 0;

void PutNumber(std::string* table, size_t at, DWORD value)
{
    memcpy(&(*table)[at], &value, sizeof(value));
}

// A row of either family; addresses as bytes, ports in host order, one scope id for IPv6.
void AddRow(std::string* table, bool ipv6, DWORD owner, DWORD state, const std::string& local, WORD localPort,
            const std::string& remote, WORD remotePort, DWORD scope = 0)
{
    // Local address, local port, remote address, remote port, state, owner.
    static const size_t FOUR[6] = {TCP4_LOCAL_ADDRESS_OFFSET, TCP4_LOCAL_PORT_OFFSET, TCP4_REMOTE_ADDRESS_OFFSET,
                                   TCP4_REMOTE_PORT_OFFSET,   TCP4_STATE_OFFSET,      TCP4_OWNER_OFFSET};
    static const size_t SIX[6] = {TCP6_LOCAL_ADDRESS_OFFSET, TCP6_LOCAL_PORT_OFFSET, TCP6_REMOTE_ADDRESS_OFFSET,
                                  TCP6_REMOTE_PORT_OFFSET,   TCP6_STATE_OFFSET,      TCP6_OWNER_OFFSET};
    const size_t* offsets = ipv6 ? SIX : FOUR;
    size_t at = table->size();
    table->resize(at + (ipv6 ? TCP6_ROW_BYTES : TCP4_ROW_BYTES), '\0');
    memcpy(&(*table)[at + offsets[0]], local.data(), local.size());
    memcpy(&(*table)[at + offsets[2]], remote.data(), remote.size());
    PutNumber(table, at + offsets[1], (DWORD)((localPort >> 8) | ((localPort & 0xFF) << 8)));
    PutNumber(table, at + offsets[3], (DWORD)((remotePort >> 8) | ((remotePort & 0xFF) << 8)));
    PutNumber(table, at + offsets[4], state);
    PutNumber(table, at + offsets[5], owner);
    if (ipv6) {
        PutNumber(table, at + TCP6_LOCAL_SCOPE_OFFSET, scope);
        PutNumber(table, at + TCP6_REMOTE_SCOPE_OFFSET, scope);
    }
    DWORD count = 0;
    memcpy(&count, table->data(), sizeof(count));
    PutNumber(table, 0, count + 1);
}

std::string Ip(std::initializer_list<int> bytes)
{
    std::string address;
    for (int byte : bytes)
        address.push_back((char)byte);
    return address;
}

DWORD OwnTable(ULONG family, void* table, DWORD* size)
{
    if (Tables == TABLE_FAILS || (Tables == TABLE_IPV6_FAILS && family == TCP_FAMILY_IPV6))
        return ERROR_NOT_SUPPORTED;
    std::string rows(TCP_TABLE_ROWS_OFFSET, '\0');
    DWORD parent = GetCurrentProcessId();
    std::string any4 = Ip({0, 0, 0, 0});
    std::string loopback4 = Ip({127, 0, 0, 1});
    std::string loopback6 = Ip({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    if (family == TCP_FAMILY_IPV4 && (Tables == TABLE_MIXED || Tables == TABLE_IPV6_FAILS)) {
        AddRow(&rows, false, TableShell, TCP_STATE_ESTABLISHED, Ip({10, 0, 0, 5}), 49700, Ip({203, 0, 113, 9}), 443);
        AddRow(&rows, false, 4, TCP_STATE_LISTEN, any4, 445, any4, 0);
        AddRow(&rows, false, parent, TCP_STATE_ESTABLISHED, loopback4, 5000, loopback4, 5001);
        AddRow(&rows, false, TableShell, TCP_STATE_LISTEN, any4, 4444, any4, 0);
    }
    if (family == TCP_FAMILY_IPV6 && Tables == TABLE_MIXED) {
        AddRow(&rows, true, parent, TCP_STATE_TIME_WAIT, loopback6, 8080, loopback6, 50000);
        AddRow(&rows, true, parent, TCP_STATE_SYN_SENT,
               Ip({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}), 50001,
               Ip({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9}), 22);
    }
    if (family == TCP_FAMILY_IPV4 && Tables == TABLE_PARENT_LISTENS)
        AddRow(&rows, false, parent, TCP_STATE_LISTEN, any4, 135, any4, 0);
    if (family == TCP_FAMILY_IPV6 && Tables == TABLE_LINK_LOCAL)
        AddRow(&rows, true, TableShell, TCP_STATE_ESTABLISHED,
               Ip({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 445,
               Ip({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}), 50000, 12);
    // Only loopback: neither a peer nor a listener outside.
    for (int row = 0; family == TCP_FAMILY_IPV4 && Tables == TABLE_LONG && row < 1100; row++)
        AddRow(&rows, false, row % 16 == 0 ? TableShell : 4, row % 32 == 0 ? TCP_STATE_ESTABLISHED : TCP_STATE_LISTEN,
               loopback4, (WORD)(1000 + row), loopback4, 80);
    if (*size < rows.size()) {
        *size = (DWORD)rows.size();
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(table, rows.data(), rows.size());
    *size = (DWORD)rows.size();
    return NO_ERROR;
}

TEST(ScanProcessesAsJson, ConnectionsOfTheShellAndItsParentFromTheTcpTables)
{
    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));
    TableShell = target.info.dwProcessId;
    std::string shell = std::to_string(TableShell);
    std::string parent = std::to_string(GetCurrentProcessId());
    ReadTcpTableEntry = OwnTable;
    struct {
        TableKind tables;
        std::string connections;  // from "connections" to the signs, as printed
        std::string signs;
    } cases[] = {
        {TABLE_MIXED,
         "\"connections\":[{\"owner\":\"shell\",\"pid\":" + shell +
             ",\"local\":\"10.0.0.5:49700\",\"remote\":\"203.0.113.9:443\",\"state\":\"established\"},"
             "{\"owner\":\"parent\",\"pid\":" + parent +
             ",\"local\":\"127.0.0.1:5000\",\"remote\":\"127.0.0.1:5001\",\"state\":\"established\"},"
             "{\"owner\":\"shell\",\"pid\":" + shell +
             ",\"local\":\"0.0.0.0:4444\",\"remote\":\"0.0.0.0:0\",\"state\":\"listen\"},"
             "{\"owner\":\"parent\",\"pid\":" + parent +
             ",\"local\":\"[::1]:8080\",\"remote\":\"[::1]:50000\",\"state\":\"time-wait\"},"
             "{\"owner\":\"parent\",\"pid\":" + parent +
             ",\"local\":\"[2001:db8::5]:50001\",\"remote\":\"[2001:db8:0:1::9]:22\",\"state\":\"syn-sent\"}],"
             "\"connections_cut\":false,\"children\":",
         "\"no-window\",\"redirected-stdio\",\"network-peer\",\"listening\",\"parent-network-peer\""},
        {TABLE_LONG, "\"connections_cut\":true,\"children\":", "\"no-window\",\"redirected-stdio\""},
        {TABLE_FAILS, "\"connections\":null,\"connections_cut\":null,\"children\":", "\"no-window\",\"redirected-stdio\""},
        {TABLE_PARENT_LISTENS,
         "\"parent\",\"pid\":" + parent + ",\"local\":\"0.0.0.0:135\",\"remote\":\"0.0.0.0:0\",\"state\":\"listen\"}]",
         "\"no-window\",\"redirected-stdio\",\"parent-listening\""},
        {TABLE_IPV6_FAILS, "\"local\":\"0.0.0.0:4444\",\"remote\":\"0.0.0.0:0\",\"state\":\"listen\"}],",
         "\"no-window\",\"redirected-stdio\",\"network-peer\",\"listening\""},
        {TABLE_LINK_LOCAL,
         "\"local\":\"[fe80::1%12]:445\",\"remote\":\"[fe80::2%12]:50000\",\"state\":\"established\"}]",
         "\"no-window\",\"redirected-stdio\",\"network-peer\""},
    };
    for (const auto& each : cases) {
        Tables = each.tables;
        std::string line = ShellLine(CaptureScan(OUTPUT_JSON), TableShell);
        EXPECT_NE(std::string::npos, line.find(each.connections)) << each.tables << ": " << line;
        EXPECT_NE(std::string::npos, line.find(",\"signs\":[" + each.signs + "]}")) << each.tables << ": " << line;
        if (each.tables == TABLE_LONG) {
            // 69 rows of the shell among 1,100: the first 64 are listed.
            size_t listed = 0;
            for (size_t at = line.find("{\"owner\""); at != std::string::npos; at = line.find("{\"owner\"", at + 1))
                listed++;
            EXPECT_EQ(64u, listed) << line;
        }
    }
    ReadTcpTableEntry = ReadSystemTcpTable;
    StopTarget(&target);
}

// Pipe names of the test's own choosing, or a listing that fails.
std::vector<std::wstring> PipeNames;
bool PipesListed = true;

int OwnPipeNames(PipeNameFunction each, void* context)
{
    for (const std::wstring& name : PipeNames)
        each(context, name.c_str(), name.size());
    return PipesListed;
}

ULONGLONG CreationTimeOf(HANDLE process)
{
    FILETIME times[4];
    GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3]);
    return (ULONGLONG)times[0].dwHighDateTime << 32 | times[0].dwLowDateTime;
}

TEST(ScanProcessesAsJson, HostsOfThePowerShellEngineAreKnownByTheirPipe)
{
    // Two targets without a prompt entry: one of the target's own name, one
    // a copy named powershell.exe; pipe names made from their ids and times.
    std::string copy = BinDirectory() + "powershell.exe";
    ASSERT_TRUE(CopyFileA((BinDirectory() + TARGET_PROGRAM).c_str(), copy.c_str(), FALSE));
    Target host;
    Target powershell;
    ASSERT_TRUE(StartTarget(MODE_NO_PROMPT, &host));
    ASSERT_TRUE(StartTargetProgram("powershell.exe", MODE_NO_PROMPT, CREATE_NO_WINDOW, &powershell));
    std::wstring time = std::to_wstring(CreationTimeOf(host.info.hProcess));
    std::wstring id = std::to_wstring(host.info.dwProcessId);
    std::wstring own = L"PSHost." + time + L"." + id + L".DefaultAppDomain.murk_target";
    std::wstring other = L"PSHost." + std::to_wstring(CreationTimeOf(powershell.info.hProcess)) + L"." +
                         std::to_wstring(powershell.info.dwProcessId) + L".DefaultAppDomain.powershell";
    std::wstring late = L"PSHost." + std::to_wstring(CreationTimeOf(host.info.hProcess) + 100000000) + L"." + id + L".A.b";
    std::wstring wrapped = std::to_wstring(host.info.dwProcessId + 0x100000000ULL);
    struct {
        std::vector<std::wstring> names;
        bool listed;
        const char* interpreter;  // the host's, "" when it is not listed
        const char* enginePipes;
    } cases[] = {
        {{own, other}, true, "powershell-host", "2"},
        // 10 s from its creation (an earlier process's), and malformed names.
        {{late, L"PSHost." + time + L"." + id, L"PSHost.." + id + L".A.b", L"PSHost." + time + L"..A.b",
          L"PSHost." + time + L"." + wrapped + L".A.b", L"PSHost." + time + L"." + id + L"..b",
          L"PSHost." + time + L"." + id + L".A.b.", L"pshost." + time + L"." + id + L".A.b"},
         true, "", "0"},
        {{own, other}, false, "", "null"},
    };
    ListPipeNamesEntry = OwnPipeNames;
    for (size_t index = 0; index < sizeof(cases) / sizeof(cases[0]); index++) {
        PipeNames = cases[index].names;
        PipesListed = cases[index].listed;
        std::string output = CaptureScan(OUTPUT_JSON);
        std::string line = ShellLine(output, host.info.dwProcessId);
        EXPECT_NE(std::string::npos, output.find(",\"engine_pipes\":" + std::string(cases[index].enginePipes) + ","))
            << index << ": " << output;
        if (*cases[index].interpreter == '\0') {
            EXPECT_EQ("", line) << index;
            continue;
        }
        EXPECT_NE(std::string::npos, line.find("\"interpreter\":\"powershell-host\",\"original_name\":\"murk_target.exe\","
                                               "\"engine_pipe\":\"" + Utf8(own) + "\",")) << line;
        EXPECT_NE(std::string::npos, line.find("\"hosted-powershell\"]}")) << line;
        std::string powershellLine = ShellLine(output, powershell.info.dwProcessId);
        EXPECT_NE(std::string::npos, powershellLine.find("\"interpreter\":\"powershell\",")) << powershellLine;
        EXPECT_NE(std::string::npos, powershellLine.find("\"engine_pipe\":\"" + Utf8(other) + "\",")) << powershellLine;
        EXPECT_EQ(std::string::npos, powershellLine.find("hosted-powershell")) << powershellLine;
    }
    ListPipeNamesEntry = ListSystemPipeNames;
    StopTarget(&host);
    StopTarget(&powershell);
    DeleteFileA(copy.c_str());
}

// The LSA's answer for every session: a logon type of the case's, or none.
ULONG FakeLogonType = 0;

int FakeLogonSession(const LUID* id, LOGON_SESSION* session)
{
    (void)id;
    memset(session, 0, sizeof(*session));
    session->found = FakeLogonType != 0;
    session->type = FakeLogonType;
    session->foundPackage = session->foundServer = 1;
    wcscpy(session->package, L"Kerberos");
    wcscpy(session->server, L"DC01");
    session->started = 134000000000000000ULL;  // 2025-08-18T14:13:20.000Z
    return session->found;
}

TEST(ScanProcessesAsJson, TheLogonSessionSaysHowTheShellsUserGotIn)
{
    // The token's part for real: the test's own session and elevation,
    // which its target shares; the LSA's part through a replacement.
    HANDLE token = NULL;
    TOKEN_STATISTICS statistics;
    TOKEN_ELEVATION_TYPE elevation;
    DWORD returned = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    ASSERT_TRUE(GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &returned));
    ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &elevation, sizeof(elevation), &returned));
    CloseHandle(token);
    char id[32];
    _snprintf(id, sizeof(id) - 1, "0x%llx",
              (unsigned long long)((ULONGLONG)(DWORD)statistics.AuthenticationId.HighPart << 32 |
                                   statistics.AuthenticationId.LowPart));
    id[sizeof(id) - 1] = '\0';
    const char* elevations[] = {"null", "\"default\"", "\"full\"", "\"limited\""};
    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));
    struct {
        ULONG type;  // 0: the lookup fails
        const char* name;
        const char* sign;  // beside no-window and redirected-stdio
    } cases[] = {{2, "\"interactive\"", ""},     {3, "\"network\"", ",\"network-logon\""},
                 {8, "\"network-cleartext\"", ",\"network-logon\""}, {9, "\"new-credentials\"", ",\"new-credentials\""},
                 {10, "\"remote-interactive\"", ""}, {6, "null", ""}, {0, "null", ""}};
    ReadLogonSessionEntry = FakeLogonSession;
    for (const auto& each : cases) {
        FakeLogonType = each.type;
        std::string line = ShellLine(CaptureScan(OUTPUT_JSON), target.info.dwProcessId);
        std::string facts = each.type == 0 ? "\"package\":null,\"server\":null,\"started\":null"
                                           : "\"package\":\"Kerberos\",\"server\":\"DC01\",\"started\":\"2025-08-18T14:13:20.000Z\"";
        EXPECT_NE(std::string::npos, line.find(",\"logon\":{\"id\":\"" + std::string(id) + "\",\"type\":" +
                                               each.name + "," + facts + ",\"elevation\":" +
                                               elevations[elevation < 4 ? elevation : 0] + "},\"path\":"))
            << each.type << ": " << line;
        EXPECT_NE(std::string::npos,
                  line.find("\"signs\":[\"no-window\",\"redirected-stdio\"" + std::string(each.sign) + "]}"))
            << each.type << ": " << line;
    }
    ReadLogonSessionEntry = ReadSystemLogonSession;
    StopTarget(&target);
}

struct SystemHandleEntry {
    ULONG processId;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

typedef LONG(WINAPI* QuerySystemInformationFunction)(ULONG, PVOID, ULONG, PULONG);

// Handles this process holds, from the system's handle list (class 16,
// SystemHandleInformation); GetProcessHandleCount is not kept by Wine.
long HandleCount()
{
    QuerySystemInformationFunction query = (QuerySystemInformationFunction)(void*)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return -1;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG returned = 0;
    LONG status = 0;
    while ((status = query(16, buffer.data(), (ULONG)buffer.size(), &returned)) == (LONG)0xC0000004L)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return -1;
    ULONG entries = 0;
    memcpy(&entries, buffer.data(), sizeof(entries));
    long count = 0;
    const size_t first = sizeof(ULONG_PTR);
    for (ULONG index = 0; index < entries && first + (index + 1) * sizeof(SystemHandleEntry) <= buffer.size();
         index++) {
        SystemHandleEntry entry;
        memcpy(&entry, buffer.data() + first + index * sizeof(entry), sizeof(entry));
        if (entry.processId == GetCurrentProcessId())
            count++;
    }
    return count;
}

TEST(ScanProcesses, RepeatedScansLeaveNoHandleOpen)
{
    Target shell;
    Target other;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &shell));
    ASSERT_TRUE(StartTarget(MODE_NO_PROMPT, &other));
    CaptureScan(0);  // first run loads what the system keeps loaded

    long before = HandleCount();
    ASSERT_GT(before, 0);
    // The count must see one more handle when one is left open.
    HANDLE probe = CreateEventA(NULL, FALSE, FALSE, NULL);
    EXPECT_EQ(before + 1, HandleCount());
    CloseHandle(probe);

    std::string output;
    for (int run = 0; run < 23; run++)
        output = CaptureScan(run % 4 == 3 ? OUTPUT_JSON : run % 4);
    EXPECT_EQ(before, HandleCount());
    EXPECT_NE(std::string::npos, output.find("<Process_ID> " + std::to_string(shell.info.dwProcessId) + " </"));
    StopTarget(&shell);
    StopTarget(&other);
}

}  // namespace
