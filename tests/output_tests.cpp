// The built Murkscope64.exe, run with its output on a pipe and compared byte
// for byte with the texts it must print.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: the tool-help header relies on its types.
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "support.h"
#include "target_modes.h"
#include "version.h"

namespace {

const DWORD RUN_TIMEOUT_MS = 120000;

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
           "\n\n\n Usage: \n\t Murkscope64 [-h | -l | -x]"
           "\n\n\n Examples:\n"
           "\n\t //Display all the Hidden Command Prompts/Shells"
           "\n\t Murkscope64"
           "\n\n\t //Display all the Command Prompts line by line"
           "\n\t Murkscope64 -l"
           "\n\n\t //Display all the Command Prompts in XML format"
           "\n\t Murkscope64 -x"
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
    const char* argumentLists[] = {"-h", "/?", "-H", "--help", "-lx", "l", "-l -x", "-l -l", "a b c", "\"\""};
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

TEST(Records, TargetsThatMustBeFoundOrMissedByTheReader)
{
    // A prompt entry after a 4000-character PATH, one at a block starting 64
    // bytes before its region's end, and one in a 4 GiB region are found;
    // one past the 64 KiB buffer and those behind unreadable records are not.
    const char* found[] = {MODE_LONG_PATH, MODE_REGION_END, MODE_FOUR_GIB};
    const char* missed[] = {MODE_PROMPT_PAST_BUFFER, MODE_ENV_NOACCESS, MODE_PARAMETERS_NOACCESS};
    Target targets[6];
    std::vector<Record> expected;
    for (int index = 0; index < 3; index++) {
        ASSERT_TRUE(StartTarget(found[index], &targets[index])) << found[index];
        expected.push_back(TargetRecord(targets[index]));
    }
    for (int index = 0; index < 3; index++)
        ASSERT_TRUE(StartTarget(missed[index], &targets[3 + index])) << missed[index];
    ExpectOutput(ScanOutput(1, expected), RunTool("-l"), "found and missed");
    for (Target& target : targets)
        StopTarget(&target);
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
    std::string environment = CleanEnvironment("");
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

}  // namespace
