// The built Murkscope64.exe, run with its output on a pipe and compared byte
// for byte with the texts it must print.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: the tool-help header relies on its types.
#include <tlhelp32.h>

#include <sddl.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "json_value.h"
#include "support.h"
#include "target_modes.h"
#include "version.h"

namespace {

const DWORD RUN_TIMEOUT_MS = TOOL_RUN_BOUND_MS;

std::string Repeat(char character, int count)
{
    return std::string(count, character);
}

std::string TitleBlock()
{
    return "\n\n" + Repeat('*', 64) + "\n\n    Murkscope v1.5 by Quorvane" + "\n\n    " PRODUCT_WEB_ADDRESS + "\n\n" +
           Repeat('*', 64);
}

std::string HelpScreen()
{
    return TitleBlock() +
           "\n\n\n Usage: \n\t Murkscope64 [-h | -l | -x | -j | -w [seconds]]"
           "\n\n\n Examples:\n"
           "\n\t //Display all the Hidden Command Prompts/Shells"
           "\n\t Murkscope64"
           "\n\n\t //Display all the Command Prompts line by line"
           "\n\t Murkscope64 -l"
           "\n\n\t //Display all the Command Prompts in XML format"
           "\n\t Murkscope64 -x"
           "\n\n\t //Display every shell with its evidence as JSON Lines"
           "\n\t Murkscope64 -j"
           "\n\n\t //Watch for new shells as JSON Lines, until Ctrl+C or for the seconds given"
           "\n\t Murkscope64 -w [seconds]"
           "\n\n\t //Show this help screen"
           "\n\t Murkscope64 -h"
           "\n\n";
}

const char NO_MATCH[] = "\n\n\t No Command-prompt oriented Processes found on your system";
const char CLOSING_NOTE[] = "\n\n Note: Type Murkscope64.exe -h for more options\n\n";
const char NOT_FROM_PROMPT[] =
    "\n This is a console application. Kindly Run it from the CMD Prompt!\n\n Press any key to exit....\n";

std::string Header()
{
    return "\n\n\n" + Repeat('_', 64) + "\n\n :: Searching for the Command Prompts (cmd.exe)" + "\n\n" + Repeat('_', 64) +
           "\n";
}

struct Record {
    DWORD id;
    DWORD parentId;
    std::string name;
    std::string user;
    std::string path;
};

std::string FormatRecord(int mode, const Record& record)
{
    std::string id = std::to_string((int)record.id);
    std::string parent = std::to_string((int)record.parentId);
    std::string body;
    if (mode == 1) {
        body = "\n\n\n Process ID=" + id + "; Parent Process ID=" + parent + "; Process Name=" + record.name +
               "; User Name=" + record.user + "; Process Path=" + record.path + ";";
    } else if (mode == 2) {
        body = "\n\n\n <Cmd_Process>" "\n    <Process_ID> " + id + " </Process_ID>" +
               "\n    <Parent_Process_ID> " + parent + " </Parent_Process_ID>" + "\n    <Process_Name> " +
               record.name + " </Process_Name>" + "\n    <User_Name> " + record.user + " </User_Name>" +
               "\n    <Process_Path> " + record.path + " </Process_Path>" + "\n </Cmd_Process>";
    } else {
        body = "\n\n\n\tProcess ID:          " + id + "\n\n\tParent Process ID:   " + parent +
               "\n\n\tProcess Name:        " + record.name + "\n\n\tUser Name:           " + record.user +
               "\n\n\tProcess Path:        " + record.path;
    }
    return body + "\n\n" + Repeat('-', 64);
}

// What a scan prints for the given records, in the system's snapshot order.
std::string ScanOutput(int mode, std::vector<Record> records)
{
    std::vector<Record> ordered;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    if (snapshot != INVALID_HANDLE_VALUE && Process32First(snapshot, &entry)) {
        do {
            for (const Record& record : records)
                if (record.id == entry.th32ProcessID)
                    ordered.push_back(record);
        } while (Process32Next(snapshot, &entry));
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    EXPECT_EQ(records.size(), ordered.size());

    std::string text = TitleBlock();
    if (ordered.empty())
        text += NO_MATCH;
    else
        text += Header();
    for (const Record& record : ordered)
        text += FormatRecord(mode, record);
    return text + "\n\n";
}

Record TargetRecord(const Target& target)
{
    return Record{target.info.dwProcessId, GetCurrentProcessId(), "Murk_target.exe", CurrentUserName(),
                  BinDirectory() + TARGET_PROGRAM};
}

// Runs the tool detached from any console, with our environment less any
// prompt entry, plus extra entries.
RunResult RunTool(const std::string& arguments, const std::string& extraEntries = "")
{
    std::string commandLine = "\"" + ToolPath() + "\"" + (arguments.empty() ? "" : " " + arguments);
    return RunProgram(commandLine, CleanEnvironment(extraEntries), DETACHED_PROCESS, RUN_TIMEOUT_MS);
}

void ExpectOutput(const std::string& expected, const RunResult& result, const std::string& what)
{
    EXPECT_TRUE(result.finished) << what;
    EXPECT_EQ(0u, result.exitCode) << what;
    EXPECT_EQ(ToCrLf(expected), result.output) << what;
    EXPECT_EQ("", result.errors) << what;
}

TEST(HelpScreen, EveryOtherArgumentOrArgumentCountPrintsIt)
{
    const char* argumentLists[] = {"-h",    "/?",   "-H",       "--help", "-lx",   "l",      "-l -x",
                                   "-l -l", "a b c", "\"\"",  "-w 0",   "-w x",  "-w -1",  "-w 604801",
                                   "-w 1 2", "-j 1"};
    for (const char* arguments : argumentLists)
        ExpectOutput(HelpScreen(), RunTool(arguments), arguments);
}

TEST(NoMatch, EachLayoutPrintsTheBannerAndTheNoMatchLine)
{
    const char* argumentLists[] = {"-l", "-x", "-L", "-X"};
    for (const char* arguments : argumentLists)
        ExpectOutput(ScanOutput(1, {}), RunTool(arguments), arguments);
}

TEST(NoArgument, FromACommandPromptEndsWithTheNoteAndNeverListsItself)
{
    // The tool's own environment holds PROMPT here, so it would match itself.
    ExpectOutput(ScanOutput(0, {}) + CLOSING_NOTE, RunTool("", "PROMPT=$P$G\0"), "with PROMPT");
    ExpectOutput(ScanOutput(0, {}) + CLOSING_NOTE, RunTool("", "prompt=x\0"), "with lower-case prompt");
}

TEST(NoArgument, WithoutPromptAddsTheTwoLinesAndReturnsWithoutAConsole)
{
    ExpectOutput(ScanOutput(0, {}) + CLOSING_NOTE + NOT_FROM_PROMPT, RunTool(""), "without PROMPT");
    // An empty PROMPT is no PROMPT; a value longer than 128 bytes still counts.
    ExpectOutput(ScanOutput(0, {}) + CLOSING_NOTE + NOT_FROM_PROMPT, RunTool("", "PROMPT=\0"), "empty PROMPT");
    std::string longValue = "PROMPT=" + Repeat('$', 300) + '\0';
    ExpectOutput(ScanOutput(0, {}) + CLOSING_NOTE, RunTool("", longValue), "long PROMPT");
}

TEST(Records, OneAndTwoMatchesInEveryLayout)
{
    Target first;
    Target second;
    Target miss;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &first));
    ASSERT_TRUE(StartTarget(MODE_NEAR_MISSES, &miss));
    std::vector<Record> one = {TargetRecord(first)};
    ExpectOutput(ScanOutput(0, one) + CLOSING_NOTE, RunTool("", "PROMPT=$P$G\0"), "one, block");
    ExpectOutput(ScanOutput(1, one), RunTool("-l"), "one, line");
    ExpectOutput(ScanOutput(2, one), RunTool("-x"), "one, XML");

    ASSERT_TRUE(StartTarget(MODE_PROMPT_LOWER_SECOND, &second));
    std::vector<Record> two = {TargetRecord(first), TargetRecord(second)};
    ExpectOutput(ScanOutput(0, two) + CLOSING_NOTE, RunTool("", "PROMPT=$P$G\0"), "two, block");
    ExpectOutput(ScanOutput(1, two), RunTool("-L"), "two, line");
    ExpectOutput(ScanOutput(2, two), RunTool("-X"), "two, XML");
    StopTarget(&first);
    StopTarget(&second);
    StopTarget(&miss);
}

TEST(Records, APathTheTargetForgedInItsLoaderListIsNotBelieved)
{
    // Its loader entry claims explorer.exe and, after CR and LF, a record
    // for process 4: every layout shows its real path and its record alone.
    Target forged;
    ASSERT_TRUE(StartTarget(MODE_FORGED_PATH, &forged));
    std::vector<Record> one = {TargetRecord(forged)};
    ExpectOutput(ScanOutput(0, one) + CLOSING_NOTE, RunTool("", "PROMPT=$P$G\0"), "forged, block");
    ExpectOutput(ScanOutput(1, one), RunTool("-l"), "forged, line");
    ExpectOutput(ScanOutput(2, one), RunTool("-x"), "forged, XML");
    RunResult json = RunTool("-j");
    EXPECT_EQ(std::string::npos, json.output.find("explorer.exe")) << json.output;
    std::string path = "\"path\":\"";
    for (char character : BinDirectory() + TARGET_PROGRAM)
        path += character == '\\' ? std::string("\\\\") : std::string(1, character);
    EXPECT_NE(std::string::npos, json.output.find(path + "\"")) << json.output;
    StopTarget(&forged);
}

TEST(Records, ARealCmdExeIsListed)
{
    // cmd.exe sets PROMPT itself and waits on its input pipe.
    Target shell;
    memset(&shell, 0, sizeof(shell));
    char systemDirectory[MAX_PATH];
    UINT length = GetSystemDirectoryA(systemDirectory, sizeof(systemDirectory));
    std::string cmdPath = std::string(systemDirectory, length) + "\\cmd.exe";

    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE childInput = NULL;
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_EXISTING, 0,
                             NULL);
    ASSERT_TRUE(CreatePipe(&childInput, &shell.input, &attributes, 0));
    SetHandleInformation(shell.input, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    std::string commandLine = "\"" + cmdPath + "\"";
    // 90,000 characters of entries that sort before the PROMPT that cmd.exe
    // adds: its prompt entry lies far past the first 64 KiB read.
    std::string environment;
    for (char pad : {'1', '2', '3'})
        environment += std::string("A_PAD") + pad + "=" + Repeat('x', 30000) + '\0';
    environment += CleanEnvironment("");
    ASSERT_TRUE(CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, CREATE_NO_WINDOW, &environment[0], NULL,
                               &startup, &shell.info));
    CloseHandle(childInput);
    CloseHandle(nul);
    // cmd.exe sets its PROMPT once it has started; give it a moment.
    RunResult result;
    Record record{shell.info.dwProcessId, GetCurrentProcessId(), "Cmd.exe", CurrentUserName(), cmdPath};
    for (int attempt = 0; attempt < 50; attempt++) {
        result = RunTool("-x");
        if (result.output.find("<Process_ID> " + std::to_string(record.id) + " <") != std::string::npos)
            break;
        Sleep(200);
    }
    ExpectOutput(ScanOutput(2, {record}), result, "cmd.exe");
    StopTarget(&shell);
}

// ---------------------------------------------------------------------------
// The JSON Lines layout (-j).

const char* const SHELL_FIELDS[] = {"type",         "host",          "pid",         "ppid",        "name",
                                    "wow64",        "user",          "domain",      "sid",         "integrity",   "logon",
                                    "path",         "command_line",  "current_directory",          "prompt_entry",
                                    "interpreter",  "original_name", "engine_pipe", "session",      "started",       "parent",      "ancestors",   "started_hidden",
                                    "redirected_stdio", "stdio_one_handle", "window", "console_host", "connections", "connections_cut", "children",
                                    "children_cut", "signs"};
const char* const SCAN_FIELDS[] = {"type",      "host",       "version", "started", "elevated", "debug_privilege",
                                   "processes", "unreadable", "protected", "shells", "engine_pipes", "error"};

std::vector<std::string> MemberNames(const JsonValue& object)
{
    std::vector<std::string> names;
    for (const auto& member : object.members)
        names.push_back(member.first);
    return names;
}

// A field as text: a string's own text, or the literal (null, true, 12),
// or "?" when it is missing.
std::string Field(const JsonValue& object, const char* name)
{
    const JsonValue* value = object.Find(name);
    if (value == nullptr)
        return "?";
    if (value->kind == JsonValue::NUL)
        return "null";
    return value->text;
}

bool IsNull(const JsonValue& object, const char* name)
{
    const JsonValue* value = object.Find(name);
    return value != nullptr && value->kind == JsonValue::NUL;
}

std::vector<std::string> Signs(const JsonValue& shell)
{
    std::vector<std::string> signs;
    const JsonValue* value = shell.Find("signs");
    if (value != nullptr)
        for (const JsonValue& item : value->items)
            signs.push_back(item.kind == JsonValue::STRING ? item.text : "?");
    return signs;
}

struct JsonRun {
    std::vector<JsonValue> shells;
    JsonValue scan;
};

// Runs the tool with -j (or the arguments given) and checks the form of its
// output: LF-ended lines, each one JSON object with every field in order,
// shell objects and then exactly one scan object whose count matches.
JsonRun RunJson(const std::string& arguments = "-j")
{
    JsonRun run;
    RunResult result = RunTool(arguments);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("", result.errors);
    EXPECT_EQ(std::string::npos, result.output.find('\r'));
    EXPECT_TRUE(!result.output.empty() && result.output.back() == '\n');
    std::vector<std::string> lines = SplitLines(result.output);
    for (size_t index = 0; index < lines.size(); index++) {
        JsonValue object;
        std::string error;
        EXPECT_TRUE(ParseJson(lines[index], &object, &error)) << error << ": " << lines[index];
        EXPECT_EQ(JsonValue::OBJECT, object.kind) << lines[index];
        bool last = index + 1 == lines.size();
        EXPECT_EQ(last ? "scan" : "shell", Field(object, "type")) << lines[index];
        std::vector<std::string> expected = last ? std::vector<std::string>(std::begin(SCAN_FIELDS), std::end(SCAN_FIELDS))
                                                 : std::vector<std::string>(std::begin(SHELL_FIELDS), std::end(SHELL_FIELDS));
        EXPECT_EQ(expected, MemberNames(object)) << lines[index];
        if (last)
            run.scan = object;
        else
            run.shells.push_back(object);
    }
    EXPECT_EQ(std::to_string(run.shells.size()), Field(run.scan, "shells"));
    return run;
}

const JsonValue* FindShell(const JsonRun& run, DWORD processId)
{
    for (const JsonValue& shell : run.shells)
        if (Field(shell, "pid") == std::to_string(processId))
            return &shell;
    return nullptr;
}

std::string HostName()
{
    WCHAR name[256];
    DWORD length = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &length) ? Utf8(std::wstring(name, length)) : "null";
}

// The test's own account and integrity level: its targets run with a copy
// of its token.
void OwnAccount(std::string* user, std::string* domain, std::string* sid, std::string* integrity)
{
    HANDLE token = NULL;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    union {
        TOKEN_USER user;
        TOKEN_MANDATORY_LABEL label;
        unsigned char bytes[1024];
    } information;
    DWORD returned = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, &information, sizeof(information), &returned));
    WCHAR name[256];
    WCHAR domainName[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(NULL, information.user.User.Sid, name, &nameLength, domainName, &domainLength, &use));
    *user = Utf8(name);
    *domain = Utf8(domainName);
    char* sidText = NULL;
    ASSERT_TRUE(ConvertSidToStringSidA(information.user.User.Sid, &sidText));
    *sid = sidText;
    LocalFree(sidText);
    ASSERT_TRUE(GetTokenInformation(token, TokenIntegrityLevel, &information, sizeof(information), &returned));
    PSID label = information.label.Label.Sid;
    DWORD level = *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1);
    *integrity = level >= 0x4000 ? "system" : level >= 0x3000 ? "high" : level >= 0x2000 ? "medium"
                                                                : level >= 0x1000 ? "low" : "untrusted";
    CloseHandle(token);
}

std::string StartTimeOf(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    SYSTEMTIME utc;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user) || !FileTimeToSystemTime(&created, &utc))
        return "?";
    char text[40];
    _snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
              utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

std::string OwnFileName()
{
    char own[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, own, sizeof(own));
    std::string path(own, length);
    return path.substr(path.find_last_of('\\') + 1);
}

TEST(Records, TargetsThatMustBeFoundOrMissedByTheReader)
{
    // A prompt entry after a 4000-character PATH, one at a block starting 64
    // bytes before its region's end, one in a 4 GiB region and one past the
    // first 64 KiB read are found; one past the 16 MiB read and those behind
    // unreadable records or a guard page are not, and -j counts those four
    // as unreadable.
    const char* found[] = {MODE_LONG_PATH, MODE_REGION_END, MODE_FOUR_GIB, MODE_PROMPT_PAST_BUFFER};
    const char* missed[] = {MODE_PROMPT_PAST_CEILING, MODE_ENV_NOACCESS, MODE_PARAMETERS_NOACCESS, MODE_ENV_GUARD};
    Target targets[8];
    std::vector<Record> expected;
    for (int index = 0; index < 4; index++) {
        ASSERT_TRUE(StartTarget(found[index], &targets[index])) << found[index];
        expected.push_back(TargetRecord(targets[index]));
    }
    for (int index = 0; index < 4; index++)
        ASSERT_TRUE(StartTarget(missed[index], &targets[4 + index])) << missed[index];
    ExpectOutput(ScanOutput(1, expected), RunTool("-l"), "found and missed");
    JsonRun run = RunJson();
    EXPECT_EQ(4u, run.shells.size());
    EXPECT_EQ("4", Field(run.scan, "unreadable"));
    for (Target& target : targets)
        StopTarget(&target);
}

TEST(JsonLines, AHiddenShellOnPipesShowsBothSignsAndAPlainOneNone)
{
    std::wstring commandLine = Widen("\"" + BinDirectory() + TARGET_PROGRAM + "\" " MODE_PROMPT_FIRST);
    std::wstring directory = Widen(BinDirectory());
    TargetStart hiddenStart = {CREATE_NO_WINDOW, STARTF_USESHOWWINDOW, SW_HIDE, true, directory.c_str(), NULL};
    TargetStart plainStart = {CREATE_NO_WINDOW, 0, 0, false, NULL, NULL};
    Target hidden;
    Target plain;
    ASSERT_TRUE(StartTargetCommand(commandLine, hiddenStart, &hidden));
    ASSERT_TRUE(StartTargetCommand(commandLine, plainStart, &plain));
    std::string user, domain, sid, integrity;
    OwnAccount(&user, &domain, &sid, &integrity);
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));

    for (const char* arguments : {"-j", "-J"}) {
        JsonRun run = RunJson(arguments);
        const JsonValue* shell = FindShell(run, hidden.info.dwProcessId);
        ASSERT_NE(nullptr, shell) << arguments;
        EXPECT_EQ(HostName(), Field(*shell, "host"));
        EXPECT_EQ(std::to_string(GetCurrentProcessId()), Field(*shell, "ppid"));
        EXPECT_EQ(TARGET_PROGRAM, Field(*shell, "name"));
        EXPECT_EQ("false", Field(*shell, "wow64"));
        EXPECT_EQ(user, Field(*shell, "user"));
        EXPECT_EQ(domain, Field(*shell, "domain"));
        EXPECT_EQ(sid, Field(*shell, "sid"));
        EXPECT_EQ(integrity, Field(*shell, "integrity"));
        EXPECT_EQ(BinDirectory() + TARGET_PROGRAM, Field(*shell, "path"));
        EXPECT_EQ(Utf8(commandLine), Field(*shell, "command_line"));
        EXPECT_EQ(BinDirectory(), Field(*shell, "current_directory"));
        EXPECT_EQ("PROMPT=$P$G", Field(*shell, "prompt_entry"));
        EXPECT_EQ(std::to_string(session), Field(*shell, "session"));
        EXPECT_EQ(StartTimeOf(hidden.info.hProcess), Field(*shell, "started"));
        const JsonValue* parent = shell->Find("parent");
        ASSERT_NE(nullptr, parent);
        EXPECT_EQ((std::vector<std::string>{"pid", "name", "path", "running"}), MemberNames(*parent));
        EXPECT_EQ(std::to_string(GetCurrentProcessId()), Field(*parent, "pid"));
        EXPECT_EQ(OwnFileName(), Field(*parent, "name"));
        EXPECT_EQ(BinDirectory() + OwnFileName(), Field(*parent, "path"));
        EXPECT_EQ("true", Field(*parent, "running"));
        EXPECT_EQ("true", Field(*shell, "started_hidden"));
        EXPECT_EQ("true", Field(*shell, "redirected_stdio"));
        EXPECT_EQ("false", Field(*shell, "stdio_one_handle"));  // a pipe each way
        EXPECT_EQ((std::vector<std::string>{"started-hidden", "no-window", "redirected-stdio"}), Signs(*shell));

        const JsonValue* other = FindShell(run, plain.info.dwProcessId);
        ASSERT_NE(nullptr, other) << arguments;
        EXPECT_EQ("false", Field(*other, "started_hidden"));
        EXPECT_EQ("false", Field(*other, "redirected_stdio"));
        EXPECT_EQ("false", Field(*other, "stdio_one_handle"));
        EXPECT_EQ(std::vector<std::string>{"no-window"}, Signs(*other));  // started with CREATE_NO_WINDOW

        EXPECT_EQ(HostName(), Field(run.scan, "host"));
        EXPECT_EQ(VERSION_FULL_TEXT, Field(run.scan, "version"));
        EXPECT_EQ("null", Field(run.scan, "error"));
        EXPECT_EQ("0", Field(run.scan, "unreadable"));
        EXPECT_LE(run.shells.size() + 1, (size_t)std::stoul(Field(run.scan, "processes")));
        for (const char* flag : {"elevated", "debug_privilege"})
            EXPECT_EQ(JsonValue::BOOLEAN, run.scan.Find(flag)->kind) << flag;
    }
    StopTarget(&hidden);
    StopTarget(&plain);
}

TEST(JsonLines, EachShellsConsoleWindowIsLookedAtAsItStandsNow)
{
    // Real cmd.exe shells with consoles of their own (Wine's console host
    // draws them), then changed from outside; targets without a console
    // window, without a console, and with windows of their own of the
    // classes a console host makes, one on a second desktop.
    HDESK other = CreateDesktopW(L"MurkOther", NULL, NULL, 0, GENERIC_ALL, NULL);
    ASSERT_NE((HDESK)NULL, other);
    std::wstring cmd = L"cmd.exe /q /k echo R";
    std::wstring target = Widen("\"" + BinDirectory() + TARGET_PROGRAM "\" ");
    // What is done to a window from outside, after a first look.
    auto moveOffScreen = [](HWND window) {
        SetWindowPos(window, NULL, -32000, -32000, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    };
    auto makeTransparent = [](HWND window) {
        SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_LAYERED);
        SetLayeredWindowAttributes(window, 0, 0, LWA_ALPHA);
    };
    const DWORD NEW = CREATE_NEW_CONSOLE;
    const DWORD NONE = CREATE_NO_WINDOW;
    struct {
        std::wstring command;
        TargetStart start;
        void (*change)(HWND);
        const char* state;  // then the window's via, class and desktop: "null" for null
        const char* via;
        const char* className;
        const char* desktop;
        std::vector<std::string> signs;
        const char* hostMode;  // the console host's mode, "null" for none
    } cases[] = {
        {cmd, {NEW, STARTF_USESHOWWINDOW, SW_HIDE, true, NULL, NULL}, NULL, "hidden", "console-host",
         "WineConsoleClass", "Default", {"started-hidden", "window-hidden", "redirected-stdio"}, "classic"},
        {cmd, {NEW, 0, 0, true, NULL, NULL}, [](HWND window) { ShowWindow(window, SW_HIDE); }, "hidden",
         "console-host", "WineConsoleClass", "Default", {"window-hidden", "redirected-stdio"}, "classic"},
        {cmd, {NEW, 0, 0, true, NULL, NULL}, [](HWND window) { ShowWindow(window, SW_MINIMIZE); }, "minimized",
         "console-host", "WineConsoleClass", "Default", {"redirected-stdio"}, "classic"},
        {cmd, {NEW, 0, 0, true, NULL, NULL}, moveOffScreen, "off-screen", "console-host", "WineConsoleClass",
         "Default", {"window-hidden", "redirected-stdio"}, "classic"},
        {cmd, {NEW, 0, 0, true, NULL, NULL}, makeTransparent, "transparent", "console-host", "WineConsoleClass",
         "Default", {"window-hidden", "redirected-stdio"}, "classic"},
        {target + L"prompt-first", {NONE, 0, 0, true, NULL, NULL}, NULL, "no-window", "null", "null", "null",
         {"no-window", "redirected-stdio"}, "other"},
        {target + L"prompt-first", {DETACHED_PROCESS, 0, 0, true, NULL, NULL}, NULL, "no-console", "null", "null",
         "null", {"redirected-stdio"}, "null"},
        {target + L"window-console", {NONE, 0, 0, true, NULL, NULL}, NULL, "visible", "shell", "ConsoleWindowClass",
         "Default", {"redirected-stdio"}, "other"},
        {target + L"window-console", {NONE, 0, 0, true, NULL, L"WinSta0\\MurkOther"}, NULL, "other-desktop", "shell",
         "ConsoleWindowClass", "MurkOther", {"window-hidden", "redirected-stdio"}, "other"},
        {target + L"window-pseudo", {NONE, 0, 0, true, NULL, NULL}, NULL, "no-window", "shell", "PseudoConsoleWindow",
         "Default", {"no-window", "redirected-stdio"}, "other"},
        {target + L"window-pseudo-owned", {NONE, 0, 0, true, NULL, NULL}, NULL, "visible", "shell",
         "PseudoConsoleWindow", "Default", {"redirected-stdio"}, "other"},
    };
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    Target shells[count];
    for (size_t index = 0; index < count; index++)
        ASSERT_TRUE(StartTargetCommand(cases[index].command, cases[index].start, &shells[index])) << index;
    // A first look once every console host has drawn its window (those to
    // be changed visible), then the changes, to the window that look found.
    JsonRun run;
    for (int pass = 0; pass < 2; pass++) {
        for (int attempt = 0; attempt < 50; attempt++) {
            run = RunJson();
            size_t ready = 0;
            for (size_t index = 0; index < count; index++) {
                const JsonValue* shell = FindShell(run, shells[index].info.dwProcessId);
                const char* wanted = pass == 0 && cases[index].change != NULL ? "visible" : cases[index].state;
                ready += shell != nullptr && Field(*shell->Find("window"), "state") == wanted;
            }
            if (ready == count)
                break;
            Sleep(200);
        }
        for (size_t index = 0; pass == 0 && index < count; index++) {
            const JsonValue* shell = FindShell(run, shells[index].info.dwProcessId);
            ASSERT_NE(nullptr, shell) << index;
            if (cases[index].change != NULL)
                cases[index].change((HWND)(ULONG_PTR)std::stoull(Field(*shell->Find("window"), "handle"), nullptr, 16));
        }
    }
    for (size_t index = 0; index < count; index++) {
        const JsonValue* shell = FindShell(run, shells[index].info.dwProcessId);
        ASSERT_NE(nullptr, shell) << index;
        const JsonValue* window = shell->Find("window");
        EXPECT_EQ(cases[index].state, Field(*window, "state")) << index;
        EXPECT_EQ(cases[index].via, Field(*window, "via")) << index;
        EXPECT_EQ(cases[index].className, Field(*window, "class")) << index;
        EXPECT_EQ(cases[index].desktop, Field(*window, "desktop")) << index;
        EXPECT_EQ(cases[index].start.desktop == NULL ? "" : "WinSta0\\MurkOther", Field(*window, "requested_desktop"));
        EXPECT_EQ(cases[index].start.startFlags != 0 ? "true" : "false", Field(*shell, "started_hidden")) << index;
        EXPECT_EQ(cases[index].signs, Signs(*shell)) << index;
        const JsonValue* host = shell->Find("console_host");
        EXPECT_EQ(cases[index].hostMode, host->kind == JsonValue::NUL ? "null" : Field(*host, "mode")) << index;
    }
    for (Target& shell : shells)
        StopTarget(&shell);
    CloseDesktop(other);
}

TEST(JsonLines, AShellInAPseudoConsoleNamesItsMakerAndOnlyATerminalMakesNoSign)
{
    // The target makes a pseudo console and runs a real cmd.exe in it;
    // a copy of it named as Windows Terminal does the same.
    std::string terminal = BinDirectory() + "WindowsTerminal.exe";
    ASSERT_TRUE(CopyFileA((BinDirectory() + TARGET_PROGRAM).c_str(), terminal.c_str(), FALSE));
    const char* programs[] = {TARGET_PROGRAM, "WindowsTerminal.exe"};
    Target makers[2];
    DWORD shells[2] = {0, 0};
    for (int index = 0; index < 2; index++) {
        ASSERT_TRUE(StartTargetProgram(programs[index], MODE_PSEUDO_CONSOLE, DETACHED_PROCESS, &makers[index]));
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(makers[index].output, &shells[index], sizeof(shells[index]), &read, NULL));
    }
    JsonRun run;
    for (int attempt = 0; attempt < 50; attempt++) {
        run = RunJson();
        if (FindShell(run, shells[0]) != nullptr && FindShell(run, shells[1]) != nullptr)
            break;
        Sleep(200);
    }
    for (int index = 0; index < 2; index++) {
        const JsonValue* shell = FindShell(run, shells[index]);
        ASSERT_NE(nullptr, shell) << programs[index];
        const JsonValue* host = shell->Find("console_host");
        ASSERT_EQ(JsonValue::OBJECT, host->kind) << programs[index];
        EXPECT_EQ("pseudo-console", Field(*host, "mode")) << Field(*host, "command_line");
        const JsonValue* owner = host->Find("owner");
        ASSERT_EQ(JsonValue::OBJECT, owner->kind) << programs[index];
        EXPECT_EQ(std::to_string(makers[index].info.dwProcessId), Field(*owner, "pid"));
        EXPECT_EQ(BinDirectory() + programs[index], Field(*owner, "path"));
        std::vector<std::string> signs = Signs(*shell);
        EXPECT_EQ(index == 0, std::count(signs.begin(), signs.end(), "unusual-pseudo-console") == 1) << programs[index];
    }
    for (Target& maker : makers)
        StopTarget(&maker);
    DeleteFileA(terminal.c_str());
}

TEST(JsonLines, InterpretersAreListedByTheirImageAndHostileImagesNameNothing)
{
    // Copies of the target under the interpreters' names, the build whose
    // version data names Cmd.Exe, and images the target built and mapped
    // itself: one naming Cmd.Exe (also behind a decoy named with a string),
    // hostile ones that must name nothing, and one in private memory.
    struct {
        const char* program;  // a copy of the target under this name, or the program itself
        const char* mode;
        const char* interpreter;
        const char* originalName;
        std::vector<std::string> signs;  // beside no-window and redirected-stdio, which every target shows
    } cases[] = {
        {"powershell.exe", MODE_NO_PROMPT, "powershell", TARGET_PROGRAM, {}},
        {"pwsh.exe", MODE_NO_PROMPT, "pwsh", TARGET_PROGRAM, {}},
        {CMDLIKE_PROGRAM, MODE_PROMPT_FIRST, "cmd", "Cmd.Exe", {"renamed-interpreter"}},
        {CMDLIKE_PROGRAM, MODE_NO_PROMPT, "cmd", "Cmd.Exe", {"prompt-removed", "renamed-interpreter"}},
        {TARGET_PROGRAM, MODE_PROMPT_FIRST, "null", TARGET_PROGRAM, {}},
        {TARGET_PROGRAM, MODE_IMAGE_CMD, "cmd", "Cmd.Exe", {"renamed-interpreter"}},
        {TARGET_PROGRAM, MODE_IMAGE_NAMED_FIRST, "cmd", "Cmd.Exe", {"renamed-interpreter"}},
        {TARGET_PROGRAM, MODE_IMAGE_PRIVATE, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_SELF_DIRECTORY, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_ABSURD_SIZES, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_UNTERMINATED, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_LONG_NAME, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_NT_OUTSIDE, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_NOACCESS, "null", "null", {}},
        {TARGET_PROGRAM, MODE_IMAGE_UNMAPPED, "null", "null", {}},
    };
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    Target targets[count];
    std::vector<Record> withPrompt;
    for (size_t index = 0; index < count; index++) {
        std::string program = cases[index].program;
        if (program == "powershell.exe" || program == "pwsh.exe") {
            ASSERT_TRUE(CopyFileA((BinDirectory() + TARGET_PROGRAM).c_str(), (BinDirectory() + program).c_str(), FALSE));
        }
        ASSERT_TRUE(StartTargetProgram(program.c_str(), cases[index].mode, CREATE_NO_WINDOW, &targets[index]))
            << program << " " << cases[index].mode;
        if (strcmp(cases[index].mode, MODE_NO_PROMPT) != 0)
            withPrompt.push_back(Record{targets[index].info.dwProcessId, GetCurrentProcessId(),
                                        (char)toupper(program[0]) + program.substr(1), CurrentUserName(),
                                        BinDirectory() + program});
    }
    // Older than a shell's start-up, so that a missing prompt entry counts.
    Sleep(2500);
    JsonRun run = RunJson();
    for (size_t index = 0; index < count; index++) {
        std::string what = std::string(cases[index].program) + " " + cases[index].mode;
        const JsonValue* shell = FindShell(run, targets[index].info.dwProcessId);
        EXPECT_NE(nullptr, shell) << what;
        if (shell == nullptr)
            continue;
        EXPECT_EQ(cases[index].interpreter, Field(*shell, "interpreter")) << what;
        EXPECT_EQ(cases[index].originalName, Field(*shell, "original_name")) << what;
        EXPECT_EQ(strcmp(cases[index].mode, MODE_NO_PROMPT) == 0 ? "null" : "PROMPT=$P$G",
                  Field(*shell, "prompt_entry")) << what;
        std::vector<std::string> signs = {"no-window", "redirected-stdio"};
        signs.insert(signs.end(), cases[index].signs.begin(), cases[index].signs.end());
        EXPECT_EQ(signs, Signs(*shell)) << what;
    }
    EXPECT_EQ("0", Field(run.scan, "unreadable"));
    // The text layouts still list by prompt entry alone.
    ExpectOutput(ScanOutput(1, withPrompt), RunTool("-l"), "interpreters, line");
    for (Target& target : targets)
        StopTarget(&target);
    DeleteFileA((BinDirectory() + "powershell.exe").c_str());
    DeleteFileA((BinDirectory() + "pwsh.exe").c_str());
}

const JsonValue* ChildNamed(const JsonValue& shell, const char* name)
{
    const JsonValue* children = shell.Find("children");
    if (children != nullptr)
        for (const JsonValue& item : children->items)
            if (Field(item, "name") == name)
                return &item;
    return nullptr;
}

TEST(JsonLines, ARealCmdExeThatRemovedItsPromptIsListedWithItsSignAndWhatItRuns)
{
    // cmd.exe sets PROMPT as it starts; "set PROMPT=" from its input removes
    // it: the text layouts lose it, -j keeps it as an interpreter. Then it
    // runs the target, its child, whose chain above starts at cmd's parent.
    Target shell;
    char systemDirectory[MAX_PATH];
    UINT length = GetSystemDirectoryA(systemDirectory, sizeof(systemDirectory));
    std::string cmdPath = std::string(systemDirectory, length) + "\\cmd.exe";
    TargetStart start = {CREATE_NO_WINDOW, 0, 0, true, NULL, NULL};
    // Its "R" is the ready byte the target support waits for.
    ASSERT_TRUE(StartTargetCommand(Widen("\"" + cmdPath + "\" /q /k echo R"), start, &shell));
    // One line at a time: Wine's cmd.exe drops what a read of its pipe
    // brings past the first line.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(shell.input, "set PROMPT=\r\n", 13, &written, NULL));
    JsonRun run;
    const JsonValue* found = nullptr;
    for (int attempt = 0; attempt < 50 && (found == nullptr || Signs(*found).size() != 3); attempt++) {
        Sleep(200);
        run = RunJson();
        found = FindShell(run, shell.info.dwProcessId);
    }
    ASSERT_NE(nullptr, found);
    EXPECT_TRUE(IsNull(*found, "prompt_entry"));
    EXPECT_EQ("cmd", Field(*found, "interpreter"));
    EXPECT_EQ((std::vector<std::string>{"no-window", "redirected-stdio", "prompt-removed"}), Signs(*found));
    std::string command = "\"" + BinDirectory() + TARGET_PROGRAM "\" " MODE_PROMPT_FIRST "\r\n";
    ASSERT_TRUE(WriteFile(shell.input, command.data(), (DWORD)command.size(), &written, NULL));
    char byte = 0;
    DWORD read = 0;
    while (byte != 'R' && ReadFile(shell.output, &byte, 1, &read, NULL) && read == 1) {
    }
    ASSERT_EQ('R', byte) << "the target's ready byte";
    run = RunJson();
    found = FindShell(run, shell.info.dwProcessId);
    ASSERT_NE(nullptr, found);
    // Beside Wine's conhost.exe of its console.
    const JsonValue* listedChild = ChildNamed(*found, TARGET_PROGRAM);
    ASSERT_NE(nullptr, listedChild);
    EXPECT_EQ("false", Field(*found, "children_cut"));
    const JsonValue* child = FindShell(run, (DWORD)std::stoul(Field(*listedChild, "pid")));
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(Field(*found, "pid"), Field(*child, "ppid"));
    ASSERT_FALSE(child->Find("ancestors")->items.empty());
    EXPECT_EQ(std::to_string(GetCurrentProcessId()), Field(child->Find("ancestors")->items[0], "pid"));
    EXPECT_EQ(OwnFileName(), Field(child->Find("ancestors")->items[0], "name"));
    // The text layouts list the child alone.
    Record record{(DWORD)std::stoul(Field(*child, "pid")), shell.info.dwProcessId, "Murk_target.exe", CurrentUserName(),
                  BinDirectory() + TARGET_PROGRAM};
    ExpectOutput(ScanOutput(1, {record}), RunTool("-l"), "cmd.exe after set PROMPT=");
    StopTarget(&shell);
}

TEST(JsonLines, AnIphlpapiPlantedBesideTheToolIsNeverLoaded)
{
    // A copy of the tool beside the planted DLL, Wine told (for this test's
    // run alone) to prefer a DLL from the program's own folder, as Windows
    // does; the shell makes it read the TCP tables, its one use of iphlpapi,
    // which the planted one would answer with none.
    std::string folder = BinDirectory() + "..\\planted\\";
    std::string copy = folder + "Murkscope64.exe";
    ASSERT_TRUE(CopyFileA(ToolPath().c_str(), copy.c_str(), FALSE));
    const char* key = "Software\\Wine\\AppDefaults\\Murkscope64.exe\\DllOverrides";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, key, "iphlpapi", REG_SZ, "native,builtin", 15));
    Target shell;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &shell));
    RunResult result = RunProgram("\"" + copy + "\" -j", CleanEnvironment(""), DETACHED_PROCESS, RUN_TIMEOUT_MS);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, key, "iphlpapi");
    EXPECT_NE(std::string::npos, result.output.find("\"pid\":" + std::to_string(shell.info.dwProcessId) + ","));
    EXPECT_NE(std::string::npos, result.output.find(",\"connections\":[],")) << result.output;
    StopTarget(&shell);
    DeleteFileA(copy.c_str());
}

TEST(JsonLines, NoShellGivesTheScanObjectAlone)
{
    JsonRun run = RunJson();
    EXPECT_EQ(0u, run.shells.size());
    EXPECT_EQ("0", Field(run.scan, "shells"));
    EXPECT_EQ("null", Field(run.scan, "error"));
    // The tool's own PROMPT never makes it a shell of its own scan.
    RunResult result = RunTool("-j", "PROMPT=$P$G\0");
    EXPECT_EQ(1u, SplitLines(result.output).size()) << result.output;
}

// The tool's exit status with its standard output on handle.
DWORD RunToolInto(HANDLE output)
{
    PROCESS_INFORMATION info;
    DWORD status = 0xFFFFFFFF;
    if (StartToolWithOutput("-j", output, &info)) {
        WaitForTool(info, RUN_TIMEOUT_MS);
        GetExitCodeProcess(info.hProcess, &status);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    return status;
}

TEST(JsonLines, OutputThatCannotBeWrittenEndsWithStatusTwo)
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE readEnd = NULL;
    HANDLE writeEnd = NULL;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &attributes, 0));
    CloseHandle(readEnd);
    EXPECT_EQ(2u, RunToolInto(writeEnd)) << "a pipe whose reader has gone";
    CloseHandle(writeEnd);
    // Wine's view of the host's /dev/full: every write fails, disk full.
    HANDLE full = CreateFileA("Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                              OPEN_EXISTING, 0, NULL);
    if (full != INVALID_HANDLE_VALUE) {
        EXPECT_EQ(2u, RunToolInto(full)) << "a full device";
        CloseHandle(full);
    }
}

TEST(JsonLines, AShellWhoseParentEndedIsMarkedParentGone)
{
    Target orphanParent;
    ASSERT_TRUE(StartTargetProgram(TARGET_PROGRAM, MODE_ORPHAN, CREATE_NO_WINDOW, &orphanParent));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(orphanParent.info.hProcess, 30000));
    DWORD parentId = orphanParent.info.dwProcessId;
    DWORD childId = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    if (snapshot != INVALID_HANDLE_VALUE && Process32First(snapshot, &entry)) {
        do {
            if (entry.th32ParentProcessID == parentId)
                childId = entry.th32ProcessID;
        } while (Process32Next(snapshot, &entry));
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    ASSERT_NE(0u, childId);
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, childId);

    JsonRun run = RunJson();
    const JsonValue* shell = FindShell(run, childId);
    ASSERT_NE(nullptr, shell);
    const JsonValue* parent = shell->Find("parent");
    ASSERT_NE(nullptr, parent);
    EXPECT_EQ(std::to_string(parentId), Field(*parent, "pid"));
    EXPECT_TRUE(IsNull(*parent, "name"));
    EXPECT_EQ("false", Field(*parent, "running"));
    EXPECT_EQ((std::vector<std::string>{"no-window", "redirected-stdio", "parent-gone"}), Signs(*shell));

    // Closing the shared input ends the child.
    StopTarget(&orphanParent);
    if (child != NULL) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 30000));
        CloseHandle(child);
    }
}

TEST(JsonLines, ALauncherUnderAListedImageNameGivesItsParentSign)
{
    // Copies of the target under launcher names, each starting a
    // prompt-first copy of itself on its own pipes.
    struct {
        const char* path;
        std::vector<std::string> signs;
    } cases[] = {
        {"w3wp.exe", {"no-window", "redirected-stdio", "parent-web-server"}},
        {"WINWORD.EXE", {"no-window", "redirected-stdio", "parent-office"}},
        {"w3wp2.exe", {"no-window", "redirected-stdio"}},
        {"tomcat9\\bin\\java.exe", {"no-window", "redirected-stdio", "parent-web-server"}},
        {"jre\\bin\\java.exe", {"no-window", "redirected-stdio"}},
    };
    std::string folder = BinDirectory() + "murk-launchers\\";
    for (const char* made : {"", "tomcat9", "tomcat9\\bin", "jre", "jre\\bin"})
        CreateDirectoryA((folder + made).c_str(), NULL);
    Target launchers[5];
    for (int index = 0; index < 5; index++) {
        std::string path = folder + cases[index].path;
        ASSERT_TRUE(CopyFileA((BinDirectory() + TARGET_PROGRAM).c_str(), path.c_str(), FALSE)) << path;
        TargetStart start = {CREATE_NO_WINDOW, 0, 0, true, NULL, NULL};
        ASSERT_TRUE(StartTargetCommand(Widen("\"" + path + "\" " MODE_LAUNCHER), start, &launchers[index])) << path;
        char ready = 0;
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(launchers[index].output, &ready, 1, &read, NULL) && ready == 'R') << "copy of " << path;
    }
    JsonRun run = RunJson();
    for (int index = 0; index < 5; index++) {
        std::string path = folder + cases[index].path;
        const JsonValue* shell = nullptr;
        for (const JsonValue& each : run.shells)
            if (Field(each, "ppid") == std::to_string(launchers[index].info.dwProcessId))
                shell = &each;
        ASSERT_NE(nullptr, shell) << path;
        EXPECT_EQ(path.substr(path.find_last_of('\\') + 1), Field(*shell->Find("parent"), "name"));
        EXPECT_EQ(path, Field(*shell->Find("parent"), "path"));
        EXPECT_EQ(cases[index].signs, Signs(*shell)) << path;
        // The launcher's input pipe, and one output pipe as output and error.
        EXPECT_EQ("false", Field(*shell, "stdio_one_handle")) << path;
    }
    for (int index = 0; index < 5; index++) {
        StopTarget(&launchers[index]);
        DeleteFileA((folder + cases[index].path).c_str());
    }
}

TEST(JsonLines, AShellWithOneSocketOrDuplexPipeForAllThreeStreamsShowsItsSign)
{
    // Started as a reverse shell is: the launcher's prompt-first child, with
    // one handle as its standard input, output and error.
    for (const char* mode : {MODE_SOCKET_LAUNCHER, MODE_DUPLEX_LAUNCHER}) {
        Target launcher;
        ASSERT_TRUE(StartTarget(mode, &launcher)) << mode;
        JsonRun run = RunJson();
        const JsonValue* shell = nullptr;
        for (const JsonValue& each : run.shells)
            if (Field(each, "ppid") == std::to_string(launcher.info.dwProcessId))
                shell = &each;
        ASSERT_NE(nullptr, shell) << mode;
        EXPECT_EQ("true", Field(*shell, "stdio_one_handle")) << mode;
        EXPECT_EQ((std::vector<std::string>{"no-window", "redirected-stdio", "stdio-one-handle"}), Signs(*shell)) << mode;
        StopTarget(&launcher);
    }
}

TEST(JsonLines, NamesPathsAndCommandLinesOutsideTheCodePageComeOutExact)
{
    std::wstring original = Widen(BinDirectory() + TARGET_PROGRAM);
    std::wstring copy = Widen(BinDirectory()) + L"murk_\x03A9target.exe";
    ASSERT_TRUE(CopyFileW(original.c_str(), copy.c_str(), FALSE));
    std::wstring commandLine = L"\"" + copy + L"\" " + Widen(MODE_PROMPT_FIRST) +
                               L" \"say \\\"hi\\\"\" back\\slash\\\\ \ttab \x00e9\x4e2d\xd83d\xde00";
    TargetStart start = {CREATE_NO_WINDOW, 0, 0, true, NULL, NULL};
    Target target;
    ASSERT_TRUE(StartTargetCommand(commandLine, start, &target));

    JsonRun run = RunJson();
    const JsonValue* shell = FindShell(run, target.info.dwProcessId);
    ASSERT_NE(nullptr, shell);
    EXPECT_EQ(Utf8(L"murk_\x03A9target.exe"), Field(*shell, "name"));
    EXPECT_EQ(Utf8(copy), Field(*shell, "path"));
    EXPECT_EQ(Utf8(commandLine), Field(*shell, "command_line"));
    StopTarget(&target);
    DeleteFileW(copy.c_str());
}

TEST(JsonLines, BrokenCommandLineAndDirectoryStringsAreNullOrExact)
{
    struct {
        const char* mode;
        std::string expected;  // "null" for null
    } cases[] = {
        {MODE_STRINGS_ODD, "null"},
        {MODE_STRINGS_OVER_MAX, "null"},
        {MODE_STRINGS_NOACCESS, "null"},
        {MODE_STRINGS_UNMAPPED, "null"},
        {MODE_STRINGS_REGION_END, STRINGS_REGION_END_TEXT},
        {MODE_STRINGS_HUGE, std::string(32767, STRINGS_HUGE_CHARACTER)},
        {MODE_STRINGS_OFFSETS, ""},  // "" for the command line and directory it was started with
    };
    const int count = sizeof(cases) / sizeof(cases[0]);
    Target targets[count];
    for (int index = 0; index < count; index++)
        ASSERT_TRUE(StartTarget(cases[index].mode, &targets[index])) << cases[index].mode;
    JsonRun run = RunJson();
    for (int index = 0; index < count; index++) {
        const JsonValue* shell = FindShell(run, targets[index].info.dwProcessId);
        ASSERT_NE(nullptr, shell) << cases[index].mode;
        bool asStarted = cases[index].expected.empty();
        std::string commandLine = "\"" + BinDirectory() + TARGET_PROGRAM "\" " + cases[index].mode;
        EXPECT_EQ(asStarted ? commandLine : cases[index].expected, Field(*shell, "command_line")) << cases[index].mode;
        EXPECT_EQ(asStarted ? CurrentDirectory() : cases[index].expected, Field(*shell, "current_directory"))
            << cases[index].mode;
        EXPECT_EQ("PROMPT=$P$G", Field(*shell, "prompt_entry")) << cases[index].mode;
    }
    for (Target& target : targets)
        StopTarget(&target);
}

// ---------------------------------------------------------------------------
// The watch (-w).

struct WatchRun {
    PROCESS_INFORMATION info;
    HANDLE output;
    std::string text;
};

bool StartWatch(const std::string& seconds, WatchRun* watch)
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE childOutput = NULL;
    if (!CreatePipe(&watch->output, &childOutput, &attributes, 0))
        return false;
    SetHandleInformation(watch->output, HANDLE_FLAG_INHERIT, 0);
    bool started = StartToolWithOutput("-w " + seconds, childOutput, &watch->info);
    CloseHandle(childOutput);
    return started;
}

// Reads what the watch wrote until text is among it (or the time is up).
bool ReadWatchUntil(WatchRun* watch, const std::string& text, DWORD milliseconds)
{
    ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (watch->text.find(text) == std::string::npos) {
        DWORD available = 0;
        if (!PeekNamedPipe(watch->output, NULL, 0, NULL, &available, NULL) || GetTickCount64() > deadline)
            return false;
        char chunk[4096];
        DWORD read = 0;
        if (available > 0 && ReadFile(watch->output, chunk, sizeof(chunk), &read, NULL))
            watch->text.append(chunk, read);
        else
            Sleep(10);
    }
    return true;
}

TEST(Watch, ShellsAreStreamedAsTheyAppearAndEnd)
{
    WatchRun watch;
    ASSERT_TRUE(StartWatch("8", &watch));
    Sleep(1000);
    Target shell;
    Target late;
    Target lateCmd;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &shell));
    ASSERT_TRUE(StartTarget(MODE_LATE_PROMPT, &late));
    // An interpreter by its version data that sets its prompt as it starts.
    ASSERT_TRUE(StartTargetProgram(CMDLIKE_PROGRAM, MODE_LATE_PROMPT, CREATE_NO_WINDOW, &lateCmd));
    std::string shellId = std::to_string(shell.info.dwProcessId);
    std::string lateId = std::to_string(late.info.dwProcessId);
    std::string lateCmdId = std::to_string(lateCmd.info.dwProcessId);
    // Each line is written as soon as it is known, long before the end.
    std::string shellLine = "{\"type\":\"shell\",\"host\":\"" + HostName() + "\",\"pid\":" + shellId + ",";
    std::string endedLine = "{\"type\":\"ended\",\"host\":\"" + HostName() + "\",\"pid\":" + shellId +
                            ",\"name\":\"" TARGET_PROGRAM "\",\"started\":\"" + StartTimeOf(shell.info.hProcess) +
                            "\",\"ended\":\"";
    EXPECT_TRUE(ReadWatchUntil(&watch, shellLine, 5000)) << watch.text;
    Sleep(1000);
    StopTarget(&shell);
    EXPECT_TRUE(ReadWatchUntil(&watch, endedLine, 5000)) << watch.text;
    StopTarget(&late);
    StopTarget(&lateCmd);
    ReadWatchUntil(&watch, "\"type\":\"scan\"", RUN_TIMEOUT_MS);
    ASSERT_TRUE(WaitForTool(watch.info, RUN_TIMEOUT_MS));
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(watch.info.hProcess, &status);
    EXPECT_EQ(0u, status);
    CloseHandle(watch.info.hProcess);
    CloseHandle(watch.info.hThread);
    CloseHandle(watch.output);

    // The shell's line, then its ended line; the late shell caught once its
    // prompt was set; the scan object last, counting every shell line.
    EXPECT_LT(watch.text.find(shellLine), watch.text.find(endedLine));
    EXPECT_NE(std::string::npos, watch.text.find("\"pid\":" + lateId + ",\"ppid\"")) << watch.text;
    // The young interpreter is listed once, when it has its prompt entry.
    size_t lateCmdAt = watch.text.find("{\"type\":\"shell\",\"host\":\"" + HostName() + "\",\"pid\":" + lateCmdId + ",");
    size_t lateCmdEnd = watch.text.find('\n', lateCmdAt);
    EXPECT_LT(watch.text.find("\"prompt_entry\":\"PROMPT=$P$G\"", lateCmdAt), lateCmdEnd) << watch.text;
    EXPECT_EQ(std::string::npos, watch.text.find("\"pid\":" + lateCmdId + ",\"ppid\"", lateCmdEnd)) << watch.text;
    std::vector<std::string> lines = SplitLines(watch.text);
    size_t shells = std::count_if(lines.begin(), lines.end(),
                                  [](const std::string& line) { return line.find("{\"type\":\"shell\"") == 0; });
    JsonValue scan;
    std::string error;
    ASSERT_TRUE(ParseJson(lines.back(), &scan, &error)) << error << ": " << lines.back();
    std::vector<std::string> fields(std::begin(SCAN_FIELDS), std::end(SCAN_FIELDS));
    fields.push_back("ended");
    EXPECT_EQ(fields, MemberNames(scan));
    EXPECT_EQ(std::to_string(shells), Field(scan, "shells"));
}

}  // namespace
