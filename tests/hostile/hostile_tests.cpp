// The reader and the whole tool against processes that fight back: targets
// whose environment pages change protection, whose environment and parameters
// pointers jump between blocks and bad addresses, whose block is rewritten
// while it is read, and processes that start and end children all the time.
// Every run must end with status 0 and well-formed output, and no process
// that never had a prompt entry may ever be listed. A target that rewrites
// its command line and directory strings shows that the evidence of -j is
// always null or what the target offered.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "environment.h"
#include "evidence.h"
#include "hostile_modes.h"
#include "json_value.h"
#include "support.h"
#include "target_modes.h"
#include "version.h"

namespace {

const DWORD STOP_TIMEOUT_MS = 60000;
const DWORD RUN_TIMEOUT_MS = TOOL_RUN_BOUND_MS;
// In-process reads per target and fighting pair.
const int READS_PER_PAIR = 2000;
// Tool runs per layout in each phase of the scan test.
const int RUNS_PER_LAYOUT = 10;

const int LAYOUT_BLOCK = 0;
const int LAYOUT_LINE = 1;
const int LAYOUT_XML = 2;
const int LAYOUT_JSON = 3;

// ---- hostile targets ----

struct HostileEnd {
    bool ended;       // ended by itself once its input closed
    DWORD exitCode;
    long long rounds;  // the worker's rounds, -1 when not reported
};

// Closes the target's input and collects its exit status and round count.
HostileEnd StopHostile(Target* target)
{
    HostileEnd end = {false, 0xFFFFFFFF, -1};
    CloseHandle(target->input);
    target->input = NULL;
    end.ended = WaitForSingleObject(target->info.hProcess, STOP_TIMEOUT_MS) == WAIT_OBJECT_0;
    if (!end.ended) {
        TerminateProcess(target->info.hProcess, 9);
        WaitForSingleObject(target->info.hProcess, 10000);
    }
    GetExitCodeProcess(target->info.hProcess, &end.exitCode);
    std::string report;
    char chunk[64];
    DWORD read = 0;
    while (ReadFile(target->output, chunk, sizeof(chunk), &read, NULL) && read > 0)
        report.append(chunk, read);
    if (!report.empty() && report[report.size() - 1] == '\n')
        end.rounds = atoll(report.c_str());
    StopTarget(target);
    return end;
}

void ExpectFoughtAndEnded(const HostileEnd& end, const char* mode)
{
    EXPECT_TRUE(end.ended) << mode;
    EXPECT_EQ(0u, end.exitCode) << mode;
    EXPECT_GT(end.rounds, 0) << mode << ": the worker never ran";
}

// ---- the strict reading of the tool's output ----

std::string Repeat(char character, int count)
{
    return std::string(count, character);
}

const std::string HYPHENS = Repeat('-', 64);

std::string TitleBlock()
{
    return "\n\n" + Repeat('*', 64) + "\n\n    " DISPLAY_NAME " v" VERSION_TEXT " by " MAKER_NAME "\n\n    " +
           PRODUCT_WEB_ADDRESS + "\n\n" + Repeat('*', 64);
}

std::string Header()
{
    return "\n\n\n" + Repeat('_', 64) + "\n\n :: Searching for the Command Prompts (cmd.exe)" + "\n\n" + Repeat('_', 64) +
           "\n";
}

const char NO_MATCH[] = "\n\n\t No Command-prompt oriented Processes found on your system";
const char CLOSING_NOTE[] = "\n\n Note: Type " PROGRAM_NAME ".exe -h for more options\n\n";
const char NOT_FROM_PROMPT[] =
    "\n This is a console application. Kindly Run it from the CMD Prompt!\n\n Press any key to exit....\n";

struct ParsedRecord {
    long long id;
    long long parentId;
    std::string name;
    std::string user;
    std::string path;
};

class Cursor {
public:
    explicit Cursor(const std::string& text) : text_(text), at_(0) {}

    bool Peek(const std::string& literal) const { return text_.compare(at_, literal.size(), literal) == 0; }

    bool Take(const std::string& literal)
    {
        if (!Peek(literal))
            return false;
        at_ += literal.size();
        return true;
    }

    // The text up to the next end marker, which must lie on the same line.
    bool TakeUntil(const std::string& end, std::string* value)
    {
        size_t found = text_.find(end, at_);
        if (found == std::string::npos)
            return false;
        std::string candidate = text_.substr(at_, found - at_);
        if (candidate.find_first_of("\r\n") != std::string::npos)
            return false;
        *value = candidate;
        at_ = found + end.size();
        return true;
    }

    bool AtEnd() const { return at_ == text_.size(); }
    size_t Position() const { return at_; }

private:
    const std::string& text_;
    size_t at_;
};

bool ParseNumber(const std::string& text, long long* value)
{
    size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() - start > 10)
        return false;
    for (size_t index = start; index < text.size(); index++)
        if (text[index] < '0' || text[index] > '9')
            return false;
    *value = atoll(text.c_str());
    return true;
}

// The field labels of each layout, in order, and the text that ends a record.
struct LayoutText {
    const char* opening;
    const char* labels[4];
    std::string closing;
};

LayoutText LayoutOf(int layout)
{
    if (layout == LAYOUT_LINE)
        return {"\n\n\n Process ID=",
                {"; Parent Process ID=", "; Process Name=", "; User Name=", "; Process Path="},
                ";\n\n" + HYPHENS};
    if (layout == LAYOUT_XML)
        return {"\n\n\n <Cmd_Process>\n    <Process_ID> ",
                {" </Process_ID>\n    <Parent_Process_ID> ", " </Parent_Process_ID>\n    <Process_Name> ",
                 " </Process_Name>\n    <User_Name> ", " </User_Name>\n    <Process_Path> "},
                " </Process_Path>\n </Cmd_Process>\n\n" + HYPHENS};
    return {"\n\n\n\tProcess ID:          ",
            {"\n\n\tParent Process ID:   ", "\n\n\tProcess Name:        ", "\n\n\tUser Name:           ",
             "\n\n\tProcess Path:        "},
            "\n\n" + HYPHENS};
}

bool ParseRecord(Cursor* cursor, const LayoutText& layout, ParsedRecord* record)
{
    std::string id;
    std::string parentId;
    if (!cursor->Take(layout.opening) || !cursor->TakeUntil(layout.labels[0], &id) ||
        !cursor->TakeUntil(layout.labels[1], &parentId) || !cursor->TakeUntil(layout.labels[2], &record->name) ||
        !cursor->TakeUntil(layout.labels[3], &record->user) || !cursor->TakeUntil(layout.closing, &record->path))
        return false;
    // The name may be empty: the snapshot can catch a process before its
    // image is known (Wine does, for a child that is still starting).
    return ParseNumber(id, &record->id) && ParseNumber(parentId, &record->parentId) && !record->user.empty();
}

// Reads a run's standard output exactly as the layout prints it: banner;
// either the no-match line or the header once and whole records, each with
// its separator; the closing lines. Answers an empty text or what is wrong.
std::string ParseScanOutput(const std::string& raw, int layout, bool promptInEnvironment,
                            std::vector<ParsedRecord>* records)
{
    records->clear();
    std::string text;
    for (size_t index = 0; index < raw.size(); index++) {
        if (raw[index] == '\r') {
            if (index + 1 >= raw.size() || raw[index + 1] != '\n')
                return "a CR without LF at byte " + std::to_string(index);
            continue;
        }
        if (raw[index] == '\n' && (index == 0 || raw[index - 1] != '\r'))
            return "a LF without CR at byte " + std::to_string(index);
        text.push_back(raw[index]);
    }

    Cursor cursor(text);
    if (!cursor.Take(TitleBlock()))
        return "no banner";
    if (!cursor.Take(NO_MATCH)) {
        if (!cursor.Take(Header()))
            return "neither the no-match line nor the header after the banner";
        LayoutText shape = LayoutOf(layout);
        do {
            ParsedRecord record;
            if (!ParseRecord(&cursor, shape, &record))
                return "a broken record at character " + std::to_string(cursor.Position());
            records->push_back(record);
        } while (cursor.Peek(shape.opening));
    }
    if (!cursor.Take("\n\n"))
        return "no end of the scan at character " + std::to_string(cursor.Position());
    if (layout == LAYOUT_BLOCK) {
        if (!cursor.Take(CLOSING_NOTE))
            return "no closing note";
        if (!promptInEnvironment && !cursor.Take(NOT_FROM_PROMPT))
            return "no request to run from a command prompt";
    }
    if (!cursor.AtEnd())
        return "text after the end at character " + std::to_string(cursor.Position());
    return "";
}

// A text the strings target offered: character i is one of the two patterns'.
bool FollowsStringsPattern(const std::string& text)
{
    if (text.size() > REMOTE_TEXT_CHARS)
        return false;
    for (size_t index = 0; index < text.size(); index++)
        if (text[index] != STRINGS_PATTERN(index, 0) && text[index] != STRINGS_PATTERN(index, 1))
            return false;
    return true;
}

std::string JsonText(const JsonValue& object, const char* name, bool* isNull)
{
    const JsonValue* value = object.Find(name);
    *isNull = value == nullptr || value->kind == JsonValue::NUL;
    return value != nullptr ? value->text : std::string();
}

// Reads a -j run: one JSON object per LF-ended line, shells first, then the
// scan object, whose count of shells must match. Answers an empty text or
// what is wrong; gives each shell as a record (a null owner as SYSTEM, a
// null path as empty, as the other layouts show them).
std::string ParseJsonOutput(const std::string& raw, std::vector<ParsedRecord>* records,
                            std::vector<JsonValue>* shells)
{
    records->clear();
    shells->clear();
    if (raw.empty() || raw.back() != '\n' || raw.find('\r') != std::string::npos)
        return "not LF-ended lines";
    std::vector<std::string> lines = SplitLines(raw);
    for (size_t index = 0; index < lines.size(); index++) {
        JsonValue object;
        std::string error;
        if (!ParseJson(lines[index], &object, &error) || object.kind != JsonValue::OBJECT)
            return "line " + std::to_string(index + 1) + " is no JSON object: " + error;
        bool isNull = false;
        std::string type = JsonText(object, "type", &isNull);
        if (index + 1 == lines.size()) {
            if (type != "scan" || JsonText(object, "shells", &isNull) != std::to_string(shells->size()))
                return "the last line is not a scan object counting the shells";
            return "";
        }
        if (type != "shell")
            return "line " + std::to_string(index + 1) + " is not a shell object";
        ParsedRecord record;
        bool pathNull = false;
        bool userNull = false;
        if (!ParseNumber(JsonText(object, "pid", &isNull), &record.id) ||
            !ParseNumber(JsonText(object, "ppid", &isNull), &record.parentId))
            return "line " + std::to_string(index + 1) + " has no process ids";
        record.name = JsonText(object, "name", &isNull);
        record.user = JsonText(object, "user", &userNull);
        record.path = JsonText(object, "path", &pathNull);
        if (userNull)
            record.user = "SYSTEM";
        records->push_back(record);
        shells->push_back(object);
    }
    return "no scan object";
}

// ---- what a run may list ----

enum Presence { ALWAYS, MAYBE, NEVER };

struct KnownProcess {
    Presence presence;
    std::string name;
    std::string path;
    const char* what;
};

struct Expectations {
    std::map<DWORD, KnownProcess> known;
    DWORD stringsTarget = 0;  // its command line and directory follow the strings pattern
    DWORD churnParent = 0;  // children of this process may be listed
    DWORD cleanChurnParent = 0;  // children of this one never
};

struct Tally {
    int runs = 0;
    int texts = 0;      // command lines and directories of the strings target, -j runs
    int nullTexts = 0;  // of which null
    std::map<DWORD, int> listed;  // runs that listed each known process
    int churnChildren = 0;        // records of churn children, all runs
    int churnChildrenGone = 0;    // of which the lookups found the child gone
    int churnChildrenUnnamed = 0;  // of which the snapshot had no name yet
};

void KnowTarget(Expectations* expectations, const Target& target, Presence presence, const char* program,
                const char* what)
{
    std::string name = program;
    name[0] = (char)(name[0] - 'a' + 'A');
    expectations->known[target.info.dwProcessId] = {presence, name, BinDirectory() + program, what};
}

// One run of the tool in a layout, checked against the expectations.
void RunAndCheck(int layout, bool promptInEnvironment, const Expectations& expectations, Tally* tally)
{
    static const char* const ARGUMENTS[] = {"", " -l", " -x", " -j"};
    std::string commandLine = "\"" + ToolPath() + "\"" + ARGUMENTS[layout];
    RunResult result = RunProgram(commandLine, CleanEnvironment(promptInEnvironment ? "PROMPT=$P$G" + std::string(1, '\0') : ""),
                                  DETACHED_PROCESS, RUN_TIMEOUT_MS);
    tally->runs++;
    std::string where = std::string("layout ") + "blxj"[layout] + ", run " + std::to_string(tally->runs);
    ASSERT_TRUE(result.finished) << where;
    EXPECT_EQ(0u, result.exitCode) << where;
    EXPECT_EQ("", result.errors) << where;

    std::vector<ParsedRecord> records;
    std::vector<JsonValue> shells;
    std::string problem = layout == LAYOUT_JSON ? ParseJsonOutput(result.output, &records, &shells)
                                                : ParseScanOutput(result.output, layout, promptInEnvironment, &records);
    EXPECT_EQ("", problem) << where << "\n" << result.output;
    if (!problem.empty())
        return;
    for (const JsonValue& shell : shells) {
        bool isNull = false;
        if (expectations.stringsTarget == 0 ||
            JsonText(shell, "pid", &isNull) != std::to_string(expectations.stringsTarget))
            continue;
        for (const char* field : {"command_line", "current_directory"}) {
            std::string text = JsonText(shell, field, &isNull);
            tally->texts++;
            tally->nullTexts += isNull ? 1 : 0;
            EXPECT_TRUE(isNull || FollowsStringsPattern(text)) << where << ": " << field << " " << text;
        }
    }

    std::set<long long> seen;
    const std::string user = CurrentUserName();
    for (const ParsedRecord& record : records) {
        EXPECT_TRUE(seen.insert(record.id).second) << where << ": process " << record.id << " listed twice";
        auto known = expectations.known.find((DWORD)record.id);
        if (known != expectations.known.end()) {
            const KnownProcess& process = known->second;
            EXPECT_NE(NEVER, process.presence)
                << where << ": listed " << process.what << " (" << record.id << "), which never had a prompt entry";
            EXPECT_EQ((long long)GetCurrentProcessId(), record.parentId) << where << ": " << process.what;
            // The JSON layout gives the name as the snapshot has it.
            std::string name = process.name;
            if (layout == LAYOUT_JSON)
                name[0] = (char)(name[0] - 'A' + 'a');
            EXPECT_EQ(name, record.name) << where << ": " << process.what;
            EXPECT_EQ(user, record.user) << where << ": " << process.what;
            EXPECT_EQ(process.path, record.path) << where << ": " << process.what;
            tally->listed[known->first]++;
        } else if (expectations.churnParent != 0 && record.parentId == (long long)expectations.churnParent) {
            // A child may be gone by the time of the lookups: then the owner
            // and path cannot be found.
            EXPECT_TRUE(record.name == (layout == LAYOUT_JSON ? HOSTILE_PROGRAM : "Hostile_target.exe") ||
                        record.name.empty())
                << where << ": " << record.name;
            EXPECT_TRUE(record.user == user || record.user == "SYSTEM") << where << ": " << record.user;
            EXPECT_TRUE(record.path == BinDirectory() + HOSTILE_PROGRAM || record.path.empty())
                << where << ": " << record.path;
            tally->churnChildren++;
            if (record.path.empty() || record.user == "SYSTEM")
                tally->churnChildrenGone++;
            if (record.name.empty())
                tally->churnChildrenUnnamed++;
        } else if (expectations.cleanChurnParent != 0 &&
                   record.parentId == (long long)expectations.cleanChurnParent) {
            ADD_FAILURE() << where << ": listed child " << record.id
                          << " of the clean churn, which never had a prompt entry";
        } else {
            ADD_FAILURE() << where << ": listed process " << record.id << " (" << record.name << ", parent "
                          << record.parentId << "), which never had a prompt entry";
        }
    }
    for (const auto& each : expectations.known) {
        if (each.second.presence == ALWAYS) {
            EXPECT_EQ(1u, seen.count(each.first)) << where << ": " << each.second.what << " missing";
        }
    }
}

void RunEveryLayout(const Expectations& expectations, Tally* tally)
{
    for (int run = 0; run < RUNS_PER_LAYOUT; run++) {
        for (int layout = LAYOUT_BLOCK; layout <= LAYOUT_JSON; layout++) {
            // The block layout both from a command prompt and without one.
            RunAndCheck(layout, layout != LAYOUT_BLOCK || run % 2 == 0, expectations, tally);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
}

struct FightingPair {
    const char* dirty;
    const char* clean;
};

const FightingPair PAIRS[] = {
    {HOSTILE_FLIP, HOSTILE_FLIP_CLEAN},
    {HOSTILE_SWAP, HOSTILE_SWAP_CLEAN},
    {HOSTILE_REWRITE, HOSTILE_REWRITE_CLEAN},
};

// Targets with known answers, running through every phase.
struct KnownTargets {
    Target promptFirst;
    Target noPrompt;
};

bool StartKnownTargets(KnownTargets* targets, Expectations* expectations)
{
    if (!StartTarget(MODE_PROMPT_FIRST, &targets->promptFirst))
        return false;
    if (!StartTarget(MODE_NO_PROMPT, &targets->noPrompt)) {
        StopTarget(&targets->promptFirst);
        return false;
    }
    KnowTarget(expectations, targets->promptFirst, ALWAYS, TARGET_PROGRAM, "the prompt-first target");
    KnowTarget(expectations, targets->noPrompt, NEVER, TARGET_PROGRAM, "the no-prompt target");
    return true;
}

void StopKnownTargets(KnownTargets* targets)
{
    StopTarget(&targets->promptFirst);
    StopTarget(&targets->noPrompt);
}

TEST(HostileReader, AnswersEveryReadWhileTargetsFight)
{
    KnownTargets knownTargets;
    Expectations unused;
    ASSERT_TRUE(StartKnownTargets(&knownTargets, &unused));
    DWORD promptFirst = knownTargets.promptFirst.info.dwProcessId;
    DWORD noPrompt = knownTargets.noPrompt.info.dwProcessId;

    for (const FightingPair& pair : PAIRS) {
        Target dirty;
        Target clean;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, pair.dirty, CREATE_NO_WINDOW, &dirty)) << pair.dirty;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, pair.clean, CREATE_NO_WINDOW, &clean)) << pair.clean;
        int dirtyFound = 0;
        int cleanFound = 0;
        int promptFirstMissed = 0;
        int noPromptFound = 0;
        for (int read = 0; read < READS_PER_PAIR; read++) {
            dirtyFound += IsCommandPromptProcess(dirty.info.dwProcessId);
            cleanFound += IsCommandPromptProcess(clean.info.dwProcessId);
            promptFirstMissed += 1 - IsCommandPromptProcess(promptFirst);
            noPromptFound += IsCommandPromptProcess(noPrompt);
        }
        HostileEnd dirtyEnd = StopHostile(&dirty);
        HostileEnd cleanEnd = StopHostile(&clean);
        printf("[ reader   ] %-8s found in %4d of %d reads (worker rounds %lld); %s found in %d (rounds %lld)\n",
               pair.dirty, dirtyFound, READS_PER_PAIR, dirtyEnd.rounds, pair.clean, cleanFound, cleanEnd.rounds);
        EXPECT_EQ(0, cleanFound) << pair.clean << " never holds a prompt entry";
        EXPECT_EQ(0, promptFirstMissed) << "prompt-first missed beside " << pair.dirty;
        EXPECT_EQ(0, noPromptFound) << "no-prompt found beside " << pair.dirty;
        ExpectFoughtAndEnded(dirtyEnd, pair.dirty);
        ExpectFoughtAndEnded(cleanEnd, pair.clean);
    }
    StopKnownTargets(&knownTargets);
}

TEST(HostileReader, EvidenceTextsAreNullOrWhatTheTargetOffered)
{
    static SHELL_EVIDENCE evidence;
    static PROMPT_MATCH match;
    Target strings;
    ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, HOSTILE_STRINGS, CREATE_NO_WINDOW, &strings));
    int found = 0;
    int longest = 0;
    int wrong = 0;
    for (int read = 0; read < READS_PER_PAIR && wrong == 0; read++) {
        // As the JSON layout reads a shell: its test, then its evidence.
        HANDLE process = OpenProcessForRead(strings.info.dwProcessId);
        EXPECT_NE(process, (HANDLE)NULL);
        if (process == NULL)
            break;
        EXPECT_EQ(1, TestProcessEnvironment(process, &match));
        ReadShellEvidence(process, &match, &evidence);
        CloseHandle(process);
        for (const REMOTE_TEXT* text : {&evidence.commandLine, &evidence.currentDirectory}) {
            if (!text->found)
                continue;
            found++;
            std::string narrow;
            for (DWORD index = 0; index < text->chars; index++)
                narrow.push_back(text->text[index] < 0x80 ? (char)text->text[index] : '?');
            bool good = text->text[text->chars] == 0 && FollowsStringsPattern(narrow);
            EXPECT_TRUE(good) << "read " << read << ": " << narrow;
            wrong += good ? 0 : 1;
            longest = (int)text->chars > longest ? (int)text->chars : longest;
        }
    }
    HostileEnd end = StopHostile(&strings);
    printf("[ reader   ] %-8s %d of %d texts found, the longest %d characters (worker rounds %lld)\n",
           HOSTILE_STRINGS, found, READS_PER_PAIR * 2, longest, end.rounds);
    // Both kinds of answer must have come up for the fight to mean anything.
    EXPECT_GT(found, 0);
    EXPECT_LT(found, READS_PER_PAIR * 2);
    ExpectFoughtAndEnded(end, HOSTILE_STRINGS);
}

TEST(HostileScan, EveryRunIsWellFormedAndListsNoCleanProcess)
{
    KnownTargets knownTargets;
    Expectations base;
    ASSERT_TRUE(StartKnownTargets(&knownTargets, &base));

    for (const FightingPair& pair : PAIRS) {
        Expectations expectations = base;
        Target dirty;
        Target clean;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, pair.dirty, CREATE_NO_WINDOW, &dirty)) << pair.dirty;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, pair.clean, CREATE_NO_WINDOW, &clean)) << pair.clean;
        DWORD dirtyId = dirty.info.dwProcessId;
        DWORD cleanId = clean.info.dwProcessId;
        KnowTarget(&expectations, dirty, MAYBE, HOSTILE_PROGRAM, pair.dirty);
        KnowTarget(&expectations, clean, NEVER, HOSTILE_PROGRAM, pair.clean);
        Tally tally;
        RunEveryLayout(expectations, &tally);
        HostileEnd dirtyEnd = StopHostile(&dirty);
        HostileEnd cleanEnd = StopHostile(&clean);
        printf("[ scan     ] %-8s listed in %2d of %d runs; %s in %d\n", pair.dirty, tally.listed[dirtyId], tally.runs,
               pair.clean, tally.listed[cleanId]);
        ExpectFoughtAndEnded(dirtyEnd, pair.dirty);
        ExpectFoughtAndEnded(cleanEnd, pair.clean);
        if (HasFatalFailure())
            break;
    }

    // The strings target: listed in every run, its texts null or its own.
    if (!HasFatalFailure()) {
        Expectations expectations = base;
        Target strings;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, HOSTILE_STRINGS, CREATE_NO_WINDOW, &strings));
        KnowTarget(&expectations, strings, ALWAYS, HOSTILE_PROGRAM, HOSTILE_STRINGS);
        expectations.stringsTarget = strings.info.dwProcessId;
        Tally tally;
        RunEveryLayout(expectations, &tally);
        HostileEnd end = StopHostile(&strings);
        printf("[ scan     ] %-8s listed in %2d of %d runs; %d of its %d texts in -j null\n", HOSTILE_STRINGS,
               tally.listed[expectations.stringsTarget], tally.runs, tally.nullTexts, tally.texts);
        EXPECT_EQ(RUNS_PER_LAYOUT * 2, tally.texts);
        ExpectFoughtAndEnded(end, HOSTILE_STRINGS);
    }

    // Children that end at once: between the snapshot and the lookups many
    // are gone. The clean churn runs alone, so that no process with a prompt
    // entry can take over the id of one of its children.
    const char* churns[] = {HOSTILE_CHURN, HOSTILE_CHURN_CLEAN};
    for (const char* mode : churns) {
        if (HasFatalFailure())
            break;
        Expectations expectations = base;
        Target churn;
        ASSERT_TRUE(StartTargetProgram(HOSTILE_PROGRAM, mode, CREATE_NO_WINDOW, &churn)) << mode;
        KnowTarget(&expectations, churn, NEVER, HOSTILE_PROGRAM, mode);
        if (strcmp(mode, HOSTILE_CHURN) == 0)
            expectations.churnParent = churn.info.dwProcessId;
        else
            expectations.cleanChurnParent = churn.info.dwProcessId;
        Tally tally;
        DWORD started = GetTickCount();
        RunEveryLayout(expectations, &tally);
        DWORD elapsed = GetTickCount() - started;
        HostileEnd end = StopHostile(&churn);
        printf("[ scan     ] %-11s %lld children in %.1f s; %d runs listed %d of them (%d gone at the lookups, "
               "%d without a name in the snapshot)\n",
               mode, end.rounds, elapsed / 1000.0, tally.runs, tally.churnChildren, tally.churnChildrenGone,
               tally.churnChildrenUnnamed);
        ExpectFoughtAndEnded(end, mode);
    }
    StopKnownTargets(&knownTargets);
}

}  // namespace
