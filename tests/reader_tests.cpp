// The environment reader and shell test against real target processes that
// arrange their own environment blocks.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <vector>

#include "environment.h"
#include "support.h"
#include "target_modes.h"
#include "wow64_query.h"

namespace {

// A case's test name: its mode, with '_' for '-'.
template <typename Case>
std::string TestNameOfMode(const ::testing::TestParamInfo<Case>& info)
{
    std::string name = info.param.mode;
    for (char& character : name)
        if (character == '-')
            character = '_';
    return name;
}

struct ShellCase {
    const char* mode;
    int expected;  // the shell test's answer
};

void PrintTo(const ShellCase& shellCase, std::ostream* stream)
{
    *stream << shellCase.mode << " -> " << shellCase.expected;
}

class ShellTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(ShellTest, AnswersForArrangedBlock)
{
    static PROMPT_MATCH match;
    Target target;
    ASSERT_TRUE(StartTarget(GetParam().mode, &target)) << GetParam().mode;
    EXPECT_EQ(GetParam().expected, FindPromptEntry(target.info.dwProcessId, &match)) << GetParam().mode;
    EXPECT_EQ(GetParam().expected == PROMPT_FOUND ? 1 : 0, IsCommandPromptProcess(target.info.dwProcessId));
    StopTarget(&target);
}

// Targets whose environment or parameters lie in memory the reader must not
// read all hold a prompt entry there: Wine's reads would deliver it, so only
// the region checks keep them out of the report. A block is read whole, up
// to its region's end; past 16 MiB it is cut and counts as unreadable.
const ShellCase SHELL_CASES[] = {
    {MODE_PROMPT_FIRST, PROMPT_FOUND},
    {MODE_PROMPT_LOWER_SECOND, PROMPT_FOUND},
    {MODE_BARE_PROMPT, PROMPT_FOUND},
    {MODE_PROMPTX, PROMPT_FOUND},
    {MODE_EQUALS_FIRST, PROMPT_FOUND},
    {MODE_NEAR_MISSES, PROMPT_ABSENT},
    {MODE_EMPTY, PROMPT_ABSENT},
    {MODE_LEADING_EMPTY, PROMPT_ABSENT},
    {MODE_NO_PROMPT, PROMPT_ABSENT},
    {MODE_FILLED_NO_PROMPT, PROMPT_ABSENT},
    {MODE_FILLED_CUT_PROMPT, PROMPT_FOUND},
    {MODE_ENV_NOACCESS, PROMPT_UNREADABLE},
    {MODE_ENV_EXECUTE, PROMPT_UNREADABLE},
    {MODE_ENV_UNMAPPED, PROMPT_UNREADABLE},
    {MODE_ENV_GUARD, PROMPT_UNREADABLE},
    {MODE_PARAMETERS_NOACCESS, PROMPT_UNREADABLE},
    {MODE_PARAMETERS_UNMAPPED, PROMPT_UNREADABLE},
    {MODE_SMALL_REGION, PROMPT_FOUND},
    {MODE_REGION_END, PROMPT_FOUND},
    {MODE_LONG_PATH, PROMPT_FOUND},
    {MODE_PROMPT_AT_BUFFER_END, PROMPT_FOUND},
    {MODE_PROMPT_PAST_BUFFER, PROMPT_FOUND},
    {MODE_PROMPT_PAST_CEILING, PROMPT_UNREADABLE},
    {MODE_FOUR_GIB, PROMPT_FOUND},
};

INSTANTIATE_TEST_SUITE_P(Targets, ShellTest, ::testing::ValuesIn(SHELL_CASES), TestNameOfMode<ShellCase>);

// What the shell test read of a target's block: its answer, the bytes of
// the block it read and the entry it found. A wow64 mode is read through
// its 32-bit view.
struct BlockRead {
    int answer;
    DWORD blockBytes;
    std::wstring entry;
};

BlockRead ReadTarget(const char* mode)
{
    static PROMPT_MATCH match;
    BlockRead read = {-1, 0, L""};
    Target target;
    ULONG_PTR peb32 = 0;
    bool view32 = strncmp(mode, "wow64-", 6) == 0;
    if (!(view32 ? StartWow64Target(mode, &target, &peb32) : StartTarget(mode, &target))) {
        ADD_FAILURE() << "target did not start: " << mode;
        return read;
    }
    if (view32)
        AnswerWow64Query(target.info.dwProcessId, peb32);
    HANDLE process = OpenProcessForRead(target.info.dwProcessId);
    EXPECT_NE(process, (HANDLE)NULL);
    if (process != NULL) {
        read.answer = TestProcessEnvironment(process, &match);
        read.blockBytes = view32 ? match.parameters32.blockBytes : match.parameters.blockBytes;
        read.entry = std::wstring(match.entry, match.entryChars);
        CloseHandle(process);
    }
    RestoreWow64Query();
    StopTarget(&target);
    return read;
}

TEST(TestProcessEnvironment, SmallRegionIsReadToItsEndOnly)
{
    BlockRead read = ReadTarget(MODE_SMALL_REGION);
    EXPECT_EQ(PROMPT_FOUND, read.answer);
    EXPECT_EQ(4096u, read.blockBytes);
    EXPECT_EQ(L"PROMPT=$P$G", read.entry);
}

TEST(TestProcessEnvironment, BlockNearRegionEndIsBoundedByBytesToTheEnd)
{
    for (const char* mode : {MODE_REGION_END, MODE_WOW64_REGION_END}) {
        BlockRead read = ReadTarget(mode);
        EXPECT_EQ(PROMPT_FOUND, read.answer) << mode;
        EXPECT_EQ(64u, read.blockBytes) << mode;
        EXPECT_EQ(L"PROMPT=$P$G", read.entry) << mode;
    }
}

TEST(TestProcessEnvironment, UnterminatedBlockFillingItsRegionIsReadToTheRegionEnd)
{
    BlockRead read = ReadTarget(MODE_FILLED_NO_PROMPT);
    EXPECT_EQ(PROMPT_ABSENT, read.answer);
    EXPECT_EQ(4096u, read.blockBytes);
}

TEST(TestProcessEnvironment, ABlockPastTheFirstReadIsReadOnAndAFourGibRegionInOneRead)
{
    BlockRead past = ReadTarget(MODE_PROMPT_PAST_BUFFER);
    EXPECT_EQ(PROMPT_FOUND, past.answer);
    EXPECT_LT((DWORD)ENV_BUFFER_BYTES, past.blockBytes);
    BlockRead huge = ReadTarget(MODE_FOUR_GIB);
    EXPECT_EQ(PROMPT_FOUND, huge.answer);
    EXPECT_EQ((DWORD)ENV_BUFFER_BYTES, huge.blockBytes);
    EXPECT_EQ(L"PROMPT=$P$G", huge.entry);
}

TEST(TestProcessEnvironment, UnreadableRecordsStopTheReaderBeforeAnyBlockIsRead)
{
    const char* modes[] = {MODE_ENV_NOACCESS,          MODE_ENV_EXECUTE,
                           MODE_ENV_UNMAPPED,          MODE_PARAMETERS_NOACCESS,
                           MODE_PARAMETERS_UNMAPPED,   MODE_WOW64_ENV_NOACCESS,
                           MODE_WOW64_ENV_UNMAPPED,    MODE_WOW64_PARAMETERS_NOACCESS,
                           MODE_WOW64_PARAMETERS_UNMAPPED};
    for (const char* mode : modes) {
        BlockRead read = ReadTarget(mode);
        EXPECT_EQ(PROMPT_UNREADABLE, read.answer) << mode;
        EXPECT_EQ(0u, read.blockBytes) << mode;
    }
}

// The 32-bit view of a WOW64 process, through the replacement query. Every
// target's 64-bit view holds no prompt entry unless its mode says so.
struct Wow64Case {
    const char* mode;
    int expected;
    int in32BitView;
};

void PrintTo(const Wow64Case& wow64Case, std::ostream* stream)
{
    *stream << wow64Case.mode << " -> " << wow64Case.expected;
}

class Wow64ShellTest : public ::testing::TestWithParam<Wow64Case> {};

TEST_P(Wow64ShellTest, EitherViewWithAPromptEntryMakesAShell)
{
    static PROMPT_MATCH match;
    const Wow64Case& wow64Case = GetParam();
    Target target;
    ULONG_PTR peb32 = 0;
    ASSERT_TRUE(StartWow64Target(wow64Case.mode, &target, &peb32)) << wow64Case.mode;
    DWORD processId = target.info.dwProcessId;

    AnswerWow64Query(processId, peb32);
    memset(&match, 0xA5, sizeof(match));
    EXPECT_EQ(wow64Case.expected, FindPromptEntry(processId, &match));
    EXPECT_EQ(1, match.opened);
    EXPECT_EQ(peb32, match.peb32);
    EXPECT_EQ(wow64Case.in32BitView, match.in32BitView);
    int found = wow64Case.expected == PROMPT_FOUND;
    std::wstring entry = found ? L"PROMPT=$P$G" : L"";
    EXPECT_EQ(entry.size(), match.entryChars);
    EXPECT_EQ(entry, std::wstring(match.entry));
    EXPECT_EQ(found, IsCommandPromptProcess(processId));

    // Wine's own answer for the same process is 0: only its 64-bit view counts.
    RestoreWow64Query();
    EXPECT_EQ(strcmp(wow64Case.mode, MODE_WOW64_PROMPT_64) == 0 ? 1 : 0, FindPromptEntry(processId, &match));
    EXPECT_EQ(0u, match.peb32);
    StopTarget(&target);
}

const Wow64Case WOW64_CASES[] = {
    {MODE_WOW64_PROMPT_32, PROMPT_FOUND, 1},
    {MODE_WOW64_PROMPT_64, PROMPT_FOUND, 0},
    {MODE_WOW64_NEITHER, PROMPT_ABSENT, 0},
    {MODE_WOW64_PARAMETERS_NOACCESS, PROMPT_UNREADABLE, 0},
    {MODE_WOW64_PARAMETERS_UNMAPPED, PROMPT_UNREADABLE, 0},
    {MODE_WOW64_ENV_NOACCESS, PROMPT_UNREADABLE, 0},
    {MODE_WOW64_ENV_UNMAPPED, PROMPT_UNREADABLE, 0},
    {MODE_WOW64_REGION_END, PROMPT_FOUND, 1},
};

INSTANTIATE_TEST_SUITE_P(Targets, Wow64ShellTest, ::testing::ValuesIn(WOW64_CASES), TestNameOfMode<Wow64Case>);

TEST(QueryPeb32Address, NativeProcessesAnswerZeroAndTheQueryIsMadeOncePerProcess)
{
    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));
    HANDLE process = OpenProcessForRead(target.info.dwProcessId);
    ASSERT_NE(process, (HANDLE)NULL);
    ULONG_PTR answer = 0x5A5A5A5A;
    DWORD returned = 0;
    EXPECT_EQ(0, QueryProcessInformation(process, PROCESS_WOW64_INFORMATION, &answer, sizeof(answer), &returned));
    EXPECT_EQ(0u, answer);
    EXPECT_EQ(0u, QueryPeb32Address(process));
    CloseHandle(process);

    // A shell and a process that cannot be opened: one query for the first,
    // none for the second.
    AnswerWow64Query(0xFFFFFFF1, 0x10000);
    FakeWow64Queries = 0;
    EXPECT_EQ(1, IsCommandPromptProcess(target.info.dwProcessId));
    EXPECT_EQ(0, IsCommandPromptProcess(0));
    EXPECT_EQ(1, FakeWow64Queries);
    RestoreWow64Query();
    StopTarget(&target);
}

TEST(IsCommandPromptProcess, ProcessesThatCannotBeReadAreNotShells)
{
    EXPECT_EQ(0, IsCommandPromptProcess(0));

    Target target;
    ASSERT_TRUE(StartTarget(MODE_PROMPT_FIRST, &target));
    DWORD processId = target.info.dwProcessId;
    ASSERT_EQ(1, IsCommandPromptProcess(processId));
    StopTarget(&target);
    EXPECT_EQ(0, IsCommandPromptProcess(processId));
}

// Region answers on the test's own memory, where the layout is known exactly.
TEST(QueryReadableRegion, AnswersBytesFromTheAddressToTheRegionEnd)
{
    const SIZE_T page = 4096;
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, page * 4, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(memory, (unsigned char*)NULL);
    ASSERT_NE(VirtualAlloc(memory, page * 2, MEM_COMMIT, PAGE_READWRITE), (void*)NULL);
    DWORD size = 12345;
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(page * 2, size);
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory + page * 2 - 64, &size));
    EXPECT_EQ(64u, size);
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory + 100, &size));
    EXPECT_EQ(page * 2 - 100, size);

    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(memory, page, PAGE_NOACCESS, &old));
    size = 12345;
    EXPECT_EQ(0, QueryReadableRegion(GetCurrentProcess(), memory + 8, &size));
    EXPECT_EQ(0u, size);
    ASSERT_TRUE(VirtualProtect(memory, page, PAGE_EXECUTE, &old));
    size = 12345;
    EXPECT_EQ(0, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(0u, size);
    ASSERT_TRUE(VirtualProtect(memory, page, PAGE_READONLY, &old));
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(page, size);
    // A guard page, and memory only reserved, are never read.
    ASSERT_TRUE(VirtualProtect(memory, page, PAGE_READWRITE | PAGE_GUARD, &old));
    EXPECT_EQ(0, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(0, QueryReadableRegion(GetCurrentProcess(), memory + page * 3, &size));
    VirtualFree(memory, 0, MEM_RELEASE);

    size = 12345;
    EXPECT_EQ(0, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(0u, size);
}

TEST(QueryReadableRegion, RegionsOfFourGibAndMoreAreClampedNotWrapped)
{
    const SIZE_T fourGib = (SIZE_T)4 << 30;
    unsigned char* memory =
        (unsigned char*)VirtualAlloc(NULL, fourGib + 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(memory, (unsigned char*)NULL);
    DWORD size = 0;
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory, &size));
    EXPECT_EQ(MAXDWORD, size);
    EXPECT_EQ(1, QueryReadableRegion(GetCurrentProcess(), memory + 8192 + 4096, &size));
    EXPECT_EQ((DWORD)(fourGib - 4096), size);
    VirtualFree(memory, 0, MEM_RELEASE);
}

TEST(QueryProcessInformation, GivesThePebAddressAndPassesFailuresThrough)
{
    unsigned char information[BASIC_INFORMATION_BYTES];
    memset(information, 0xCC, sizeof(information));
    DWORD returned = 0;
    ASSERT_EQ(0, QueryProcessInformation(GetCurrentProcess(), 0, information, sizeof(information), &returned));
    EXPECT_EQ((DWORD)BASIC_INFORMATION_BYTES, returned);
    void* peb = NULL;
    memcpy(&peb, information + BASIC_INFORMATION_PEB_OFFSET, sizeof(peb));
    // The PEB holds the image base address at offset 0x10.
    ASSERT_NE(peb, (void*)NULL);
    void* imageBase = NULL;
    memcpy(&imageBase, (unsigned char*)peb + 0x10, sizeof(imageBase));
    EXPECT_EQ((void*)GetModuleHandleA(NULL), imageBase);

    EXPECT_NE(0, QueryProcessInformation(GetCurrentProcess(), 0, information, 8, &returned));
    EXPECT_NE(0, QueryProcessInformation(NULL, 0, information, sizeof(information), &returned));
}

}  // namespace
