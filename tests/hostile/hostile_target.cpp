// Hostile test target: arranges its environment through its own PEB as the
// mode argument says (hostile_modes.h), starts a worker that keeps changing
// what a reader of that environment meets, writes one byte 'R' to standard
// output and waits until its standard input closes. It then stops the worker,
// puts its own records back and writes the worker's round count as a decimal
// line, so that the test can tell the fight really went on.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "hostile_modes.h"
#include "../own_peb.h"

#define PAGE_BYTES 4096
// Larger than the reader's 64 KiB buffer, so that garbage without any
// terminator runs past everything the reader takes in.
#define REGION_PAGES 17
#define REGION_BYTES (REGION_PAGES * PAGE_BYTES)
#define READER_BUFFER_BYTES 65536
#define PARAMETERS_COPY_BYTES 0x800
#define CHURN_THREADS 2
#define CHURN_IN_FLIGHT 4
#define CHILD_WAIT_MS 10000
#define STOP_WAIT_MS 30000

// Written by main, read by the workers.
static volatile LONG StopRequested = 0;
// The workers' rounds (or, for the churn, children started).
static volatile LONG64 Rounds = 0;
// In a clean mode every 't' and 'T' written as a block becomes 'X'.
static int CleanMode = 0;

static unsigned char* OwnPeb = NULL;
static unsigned char* OwnParameters = NULL;

// Blocks as written by the workers, in UTF-16 text; the dirty ones hold a
// prompt entry, which the clean modes turn into "PROMPX".
static const char PROMPT_BLOCK[] = "=C:=C:\\work\0ALLUSERSPROFILE=C:\\Users\\All Users\0PROMPT=$P$G\0ZZZ=1\0\0";
static const char OTHER_BLOCK[] = "=C:=C:\\work\0ALLUSERSPROFILE=C:\\Users\\All Users\0HOMEDRIVE=C:\0\0";
static const char NEAR_MISS_BLOCK[] = "PROMP=1\0PROMPX=1\0XPROMP=1\0PROMP\0=PROMP\0\0";
static const char SHORT_PROMPT_BLOCK[] = "A=1\0PROMPT=$P$G\0\0";
static const char LEADING_EMPTY_BLOCK[] = "\0PROMPT=$P$G\0\0";
#define TEXT_CHARS(text) (sizeof(text) - 1)

// One aligned store: a reader sees the old pointer or the new one.
static void StorePointer(unsigned char* where, const void* value)
{
    *(const void* volatile*)(void*)where = value;
}

// Byte by byte, so that a reader may meet a pointer made of both values.
static void StorePointerTorn(unsigned char* where, const void* first, const void* second)
{
    unsigned char firstBytes[sizeof(void*)];
    unsigned char secondBytes[sizeof(void*)];
    memcpy(firstBytes, &first, sizeof(first));
    memcpy(secondBytes, &second, sizeof(second));
    volatile unsigned char* target = where;
    for (size_t index = 0; index < sizeof(void*); index++)
        target[index] = firstBytes[index];
    for (size_t index = sizeof(void*); index > 0; index--)
        target[index - 1] = secondBytes[index - 1];
}

static WCHAR BlockCharacter(char character)
{
    if (CleanMode && (character == 'T' || character == 't'))
        character = 'X';
    return (WCHAR)(unsigned char)character;
}

// Writes text (narrow, with embedded zeros) as UTF-16 at destination.
static void WriteWide(unsigned char* destination, const char* text, size_t characters)
{
    for (size_t index = 0; index < characters; index++) {
        WCHAR character = BlockCharacter(text[index]);
        memcpy(destination + index * sizeof(WCHAR), &character, sizeof(character));
    }
}

// Garbage without a zero byte and without the bytes of 'P', 'T', 'p', 't',
// however it is cut into characters: no entry boundary, no prompt.
static void FillGarbage(unsigned char* destination, size_t bytes, unsigned int state)
{
    for (size_t index = 0; index < bytes; index++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        unsigned char value = (unsigned char)(state >> 8);
        if (value == 0 || value == 'P' || value == 'T' || value == 'p' || value == 't')
            value = 0xD8;  // with 0xD8 high bytes, lone surrogates appear too
        destination[index] = value;
    }
}

static unsigned char* Allocate(SIZE_T bytes, DWORD protection)
{
    return (unsigned char*)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, protection);
}

// A committed page with a reserved one after it; answers the page.
static unsigned char* AllocateBeforeReserved(void)
{
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES * 2, MEM_RESERVE, PAGE_NOACCESS);
    if (memory == NULL || VirtualAlloc(memory, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE) == NULL)
        return NULL;
    return memory;
}

static unsigned char* PlaceBlock(const char* text, size_t characters)
{
    unsigned char* memory = Allocate(PAGE_BYTES, PAGE_READWRITE);
    if (memory != NULL)
        WriteWide(memory, text, characters);
    return memory;
}

static unsigned char* UnmappedAddress(void)
{
    unsigned char* memory = Allocate(PAGE_BYTES, PAGE_READWRITE);
    if (memory != NULL)
        VirtualFree(memory, 0, MEM_RELEASE);
    return memory;
}

static void SetEnvironmentPointer(const void* block)
{
    StorePointer(OwnParameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, block);
}

// ---- flip: the pages under the block change protection and commitment ----

static unsigned char* FlipRegion = NULL;
static unsigned char* FlipBlock = NULL;

// The block straddles the two pages: "PRO" ends the first, "MPT" begins the
// second, so a reader that only gets the first page meets a cut entry.
static void WriteFlipBlock(void)
{
    WriteWide(FlipBlock, SHORT_PROMPT_BLOCK, TEXT_CHARS(SHORT_PROMPT_BLOCK));
}

static int PrepareFlip(void)
{
    FlipRegion = Allocate(PAGE_BYTES * 2, PAGE_READWRITE);
    if (FlipRegion == NULL)
        return 0;
    FlipBlock = FlipRegion + PAGE_BYTES - (4 + 3) * sizeof(WCHAR);
    WriteFlipBlock();
    SetEnvironmentPointer(FlipBlock);
    return 1;
}

static DWORD WINAPI FlipWorker(void* unused)
{
    (void)unused;
    unsigned char* second = FlipRegion + PAGE_BYTES;
    DWORD old = 0;
    while (!StopRequested) {
        switch (Rounds % 8) {
        case 0:
            VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_NOACCESS, &old);
            break;
        case 1:
            VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_READWRITE, &old);
            break;
        case 2:
            VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_EXECUTE, &old);
            break;
        case 3:
            VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_READONLY, &old);
            break;
        case 4:
            // Readable first page, unreadable second: the region ends mid-entry.
            VirtualProtect(FlipRegion, PAGE_BYTES, PAGE_READWRITE, &old);
            VirtualProtect(second, PAGE_BYTES, PAGE_NOACCESS, &old);
            break;
        case 5:
            // The block's start unreadable, its end readable.
            VirtualProtect(second, PAGE_BYTES, PAGE_READWRITE, &old);
            VirtualProtect(FlipRegion, PAGE_BYTES, PAGE_NOACCESS, &old);
            break;
        case 6:
            VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_READWRITE, &old);
            VirtualFree(second, PAGE_BYTES, MEM_DECOMMIT);
            break;
        default:
            // Committed again, the second page is zero until rewritten.
            VirtualAlloc(second, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE);
            WriteFlipBlock();
            break;
        }
        Rounds++;
        SwitchToThread();
    }
    VirtualAlloc(second, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE);
    VirtualProtect(FlipRegion, PAGE_BYTES * 2, PAGE_READWRITE, &old);
    return 0;
}

// ---- swap: the pointers to the block and to the parameters change ----

#define SWAP_ENVIRONMENTS 13
#define SWAP_PARAMETERS 6
static const void* SwapEnvironments[SWAP_ENVIRONMENTS];
static unsigned char* SwapParameters[SWAP_PARAMETERS];

// A copy of the parameters at copy + shift whose environment pointer leads to
// block; its protection is set afterwards.
static unsigned char* CopyParameters(size_t shift, const void* block, DWORD protection)
{
    unsigned char* copy = Allocate(PARAMETERS_COPY_BYTES, PAGE_READWRITE);
    if (copy == NULL)
        return NULL;
    memcpy(copy + shift, OwnParameters, PARAMETERS_COPY_BYTES / 2);
    memcpy(copy + shift + ENVIRONMENT_OFFSET_IN_PARAMETERS, &block, sizeof(block));
    DWORD old = 0;
    if (protection != PAGE_READWRITE && !VirtualProtect(copy, PARAMETERS_COPY_BYTES, protection, &old))
        return NULL;
    return copy + shift;
}

static int PrepareSwap(void)
{
    unsigned char* prompt = PlaceBlock(PROMPT_BLOCK, TEXT_CHARS(PROMPT_BLOCK));
    unsigned char* other = PlaceBlock(OTHER_BLOCK, TEXT_CHARS(OTHER_BLOCK));
    unsigned char* unreadable = PlaceBlock(PROMPT_BLOCK, TEXT_CHARS(PROMPT_BLOCK));
    unsigned char* garbage = Allocate(REGION_BYTES, PAGE_READWRITE);
    unsigned char* edge = AllocateBeforeReserved();
    unsigned char* parametersEdge = AllocateBeforeReserved();
    unsigned char* reserved = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES, MEM_RESERVE, PAGE_NOACCESS);
    DWORD old = 0;
    if (prompt == NULL || other == NULL || unreadable == NULL || garbage == NULL || edge == NULL ||
        parametersEdge == NULL || reserved == NULL || !VirtualProtect(unreadable, PAGE_BYTES, PAGE_NOACCESS, &old))
        return 0;
    FillGarbage(garbage, REGION_BYTES, 0x2545F491u);
    WriteWide(edge + PAGE_BYTES - 2 * sizeof(WCHAR), "AA", 2);

    SwapEnvironments[0] = prompt;
    SwapEnvironments[1] = other;
    SwapEnvironments[2] = NULL;
    SwapEnvironments[3] = reserved;  // reserved, never committed
    SwapEnvironments[4] = unreadable;
    SwapEnvironments[5] = garbage;
    SwapEnvironments[6] = prompt + 1;  // misaligned
    // One character, and one byte, before reserved memory.
    SwapEnvironments[7] = edge + PAGE_BYTES - sizeof(WCHAR);
    SwapEnvironments[8] = edge + PAGE_BYTES - 1;
    SwapEnvironments[9] = (const void*)(ULONG_PTR)0x8000000000000000ull;  // non-canonical
    SwapEnvironments[10] = (const void*)(ULONG_PTR)0xFFFF800000001000ull;  // kernel space
    SwapEnvironments[11] = (const void*)~(ULONG_PTR)0;

    // The parameters themselves: our own, whose environment pointer the
    // worker keeps changing, copies leading to the prompt block (readable,
    // unreadable, misaligned), a copy whose 144 bytes run into reserved
    // memory, null and unmapped.
    memcpy(parametersEdge + PAGE_BYTES - 0x88, OwnParameters, 0x88);
    memcpy(parametersEdge + PAGE_BYTES - 0x88 + ENVIRONMENT_OFFSET_IN_PARAMETERS, &prompt, sizeof(prompt));
    SwapParameters[0] = OwnParameters;
    SwapParameters[1] = CopyParameters(0, prompt, PAGE_READWRITE);
    SwapParameters[2] = CopyParameters(0, prompt, PAGE_NOACCESS);
    SwapParameters[3] = CopyParameters(1, prompt, PAGE_READWRITE);
    SwapParameters[4] = parametersEdge + PAGE_BYTES - 0x88;
    for (int index = 1; index < 5; index++)
        if (SwapParameters[index] == NULL)
            return 0;

    // Freed last, so that none of the memory above takes their place.
    SwapParameters[5] = UnmappedAddress();
    SwapEnvironments[12] = UnmappedAddress();
    SetEnvironmentPointer(prompt);
    return 1;
}

static DWORD WINAPI SwapWorker(void* unused)
{
    (void)unused;
    unsigned char* environmentSlot = OwnParameters + ENVIRONMENT_OFFSET_IN_PARAMETERS;
    unsigned char* parametersSlot = OwnPeb + PARAMETERS_OFFSET_IN_PEB;
    while (!StopRequested) {
        LONG64 round = Rounds;
        const void* environment = SwapEnvironments[round % SWAP_ENVIRONMENTS];
        if (!CleanMode && round % 16 == 15)
            StorePointerTorn(environmentSlot, environment, SwapEnvironments[(round / 16) % SWAP_ENVIRONMENTS]);
        else
            StorePointer(environmentSlot, environment);
        // Our own parameters half of the time, one of the others otherwise.
        if (round % 4 == 0) {
            LONG64 pick = (round / 4) % (2 * (SWAP_PARAMETERS - 1));
            StorePointer(parametersSlot, pick < SWAP_PARAMETERS - 1 ? SwapParameters[pick + 1] : OwnParameters);
        }
        Rounds++;
        SwitchToThread();
    }
    StorePointer(parametersSlot, OwnParameters);
    return 0;
}

// ---- rewrite: the block's contents change under the reader ----

static unsigned char* RewriteRegion = NULL;
static unsigned char* GarbageImage = NULL;
static unsigned char* CutPromptImage = NULL;

// Entries "B=yyy" over the reader's whole buffer, the last six characters
// "PROMPT" with no terminator: the entry is cut by the buffer's end.
static void WriteCutPromptImage(unsigned char* image)
{
    size_t total = READER_BUFFER_BYTES / sizeof(WCHAR);
    size_t at = 0;
    while (at + 6 < total) {
        size_t characters = total - 6 - at > 60 ? 60 : total - 6 - at;
        for (size_t index = 0; index < characters; index++) {
            char character = index + 1 == characters ? '\0' : (index == 0 ? 'B' : (index == 1 ? '=' : 'y'));
            WriteWide(image + (at + index) * sizeof(WCHAR), &character, 1);
        }
        at += characters;
    }
    WriteWide(image + at * sizeof(WCHAR), "PROMPT", 6);
}

static int PrepareRewrite(void)
{
    RewriteRegion = Allocate(REGION_BYTES, PAGE_READWRITE);
    GarbageImage = Allocate(REGION_BYTES, PAGE_READWRITE);
    CutPromptImage = Allocate(READER_BUFFER_BYTES, PAGE_READWRITE);
    if (RewriteRegion == NULL || GarbageImage == NULL || CutPromptImage == NULL)
        return 0;
    FillGarbage(GarbageImage, REGION_BYTES, 0x9E3779B9u);
    WriteCutPromptImage(CutPromptImage);
    WriteWide(RewriteRegion, PROMPT_BLOCK, TEXT_CHARS(PROMPT_BLOCK));
    SetEnvironmentPointer(RewriteRegion);
    return 1;
}

static void WriteCharacter(size_t index, char character)
{
    WCHAR value = BlockCharacter(character);
    memcpy(RewriteRegion + index * sizeof(WCHAR), &value, sizeof(value));
}

static DWORD WINAPI RewriteWorker(void* unused)
{
    (void)unused;
    while (!StopRequested) {
        switch (Rounds % 8) {
        case 0:
            WriteWide(RewriteRegion, PROMPT_BLOCK, TEXT_CHARS(PROMPT_BLOCK));
            break;
        case 1:
            WriteWide(RewriteRegion, NEAR_MISS_BLOCK, TEXT_CHARS(NEAR_MISS_BLOCK));
            break;
        case 2:
            // Nothing terminated anywhere in the region.
            memcpy(RewriteRegion, GarbageImage, REGION_BYTES);
            break;
        case 3:
            memcpy(RewriteRegion, CutPromptImage, READER_BUFFER_BYTES);
            break;
        case 4:
            // The separator before "PROMPT" comes and goes: "A=1XPROMPT=..."
            // has no prompt entry.
            WriteWide(RewriteRegion, SHORT_PROMPT_BLOCK, TEXT_CHARS(SHORT_PROMPT_BLOCK));
            for (int flip = 0; flip < 16; flip++)
                WriteCharacter(3, flip % 2 == 0 ? 'X' : '\0');
            break;
        case 5:
            // The entry's sixth character comes and goes.
            WriteWide(RewriteRegion, SHORT_PROMPT_BLOCK, TEXT_CHARS(SHORT_PROMPT_BLOCK));
            for (int flip = 0; flip < 16; flip++)
                WriteCharacter(9, flip % 2 == 0 ? 'X' : 'T');
            break;
        case 6:
            memset(RewriteRegion, 0, PAGE_BYTES);
            break;
        default:
            // An empty first entry, then a prompt entry.
            WriteWide(RewriteRegion, LEADING_EMPTY_BLOCK, TEXT_CHARS(LEADING_EMPTY_BLOCK));
            break;
        }
        Rounds++;
        SwitchToThread();
    }
    return 0;
}

// ---- strings: the command line and directory change under the reader ----

#define STRING_BUFFERS 5
static const size_t STRING_FIELDS[2] = {COMMAND_LINE_OFFSET_IN_PARAMETERS, CURRENT_DIRECTORY_OFFSET_IN_PARAMETERS};
static unsigned char SavedStrings[2][16];
static const void* StringBuffers[STRING_BUFFERS];
static unsigned char* LowerPage = NULL;

static void WritePattern(unsigned char* where, size_t characters, int upper)
{
    for (size_t index = 0; index < characters; index++) {
        WCHAR character = (WCHAR)STRINGS_PATTERN(index, upper);
        memcpy(where + index * sizeof(WCHAR), &character, sizeof(character));
    }
}

static int PrepareStrings(void)
{
    unsigned char* block = PlaceBlock(PROMPT_BLOCK, TEXT_CHARS(PROMPT_BLOCK));
    LowerPage = Allocate(PAGE_BYTES, PAGE_READWRITE);
    unsigned char* upperPage = Allocate(PAGE_BYTES, PAGE_READWRITE);
    unsigned char* closed = Allocate(PAGE_BYTES, PAGE_READWRITE);
    unsigned char* beforeReserved = AllocateBeforeReserved();
    DWORD old = 0;
    if (block == NULL || LowerPage == NULL || upperPage == NULL || closed == NULL || beforeReserved == NULL)
        return 0;
    WritePattern(LowerPage, PAGE_BYTES / sizeof(WCHAR), 0);
    WritePattern(upperPage, PAGE_BYTES / sizeof(WCHAR), 1);
    WritePattern(closed, PAGE_BYTES / sizeof(WCHAR), 0);
    WritePattern(beforeReserved + PAGE_BYTES - 64, 32, 0);
    if (!VirtualProtect(closed, PAGE_BYTES, PAGE_NOACCESS, &old))
        return 0;
    StringBuffers[0] = LowerPage;
    StringBuffers[1] = upperPage;
    StringBuffers[2] = closed;
    StringBuffers[3] = UnmappedAddress();
    StringBuffers[4] = beforeReserved + PAGE_BYTES - 64;
    // The texts offered from the first read on: the lower-case page, valid.
    for (int index = 0; index < 2; index++) {
        unsigned char* field = OwnParameters + STRING_FIELDS[index];
        USHORT length = 80;
        USHORT maximum = 82;
        memcpy(SavedStrings[index], field, sizeof(SavedStrings[index]));
        memcpy(field, &length, sizeof(length));
        memcpy(field + 2, &maximum, sizeof(maximum));
        StorePointer(field + 8, LowerPage);
    }
    SetEnvironmentPointer(block);
    return 1;
}

static DWORD WINAPI StringsWorker(void* unused)
{
    (void)unused;
    // Valid, odd, above the maximum, the longest possible.
    static const USHORT LENGTHS[4] = {80, 81, 80, 0xFFFE};
    static const USHORT MAXIMA[4] = {82, 82, 40, 0xFFFE};
    while (!StopRequested) {
        for (int which = 0; which < 2; which++) {
            unsigned char* field = OwnParameters + STRING_FIELDS[which];
            unsigned int choice = (unsigned int)Rounds + (unsigned int)which * 3;
            // The counts and the pointer change one store at a time: a reader
            // meets every mix of them.
            *(volatile USHORT*)(void*)field = LENGTHS[choice % 4];
            *(volatile USHORT*)(void*)(field + 2) = MAXIMA[(choice / 2) % 4];
            StorePointer(field + 8, StringBuffers[(choice / 4 + (unsigned int)which) % STRING_BUFFERS]);
        }
        // The lower-case text turns upper case and back, a character at a time.
        for (size_t index = 0; index < 64; index++) {
            WCHAR character = (WCHAR)STRINGS_PATTERN(index, (Rounds / 2) % 2);
            memcpy(LowerPage + index * sizeof(WCHAR), &character, sizeof(character));
        }
        Rounds++;
        SwitchToThread();
    }
    return 0;
}

static void RestoreStrings(void)
{
    for (int index = 0; index < 2; index++)
        memcpy(OwnParameters + STRING_FIELDS[index], SavedStrings[index], sizeof(SavedStrings[index]));
}

// ---- churn: children come and go ----

static char ChildCommandLine[MAX_PATH + 16];
static char ChildProgram[MAX_PATH];
static char* ChildEnvironment = NULL;

static int PrepareChurn(void)
{
    DWORD length = GetModuleFileNameA(NULL, ChildProgram, sizeof(ChildProgram));
    if (length == 0 || length >= sizeof(ChildProgram))
        return 0;
    _snprintf(ChildCommandLine, sizeof(ChildCommandLine) - 1, "\"%s\" %s", ChildProgram, HOSTILE_EXIT);
    ChildCommandLine[sizeof(ChildCommandLine) - 1] = '\0';
    if (CleanMode)
        return 1;  // the children take our own environment, which has no prompt entry

    // Our environment plus a prompt entry.
    char* strings = GetEnvironmentStringsA();
    if (strings == NULL)
        return 0;
    size_t bytes = 0;
    while (strings[bytes] != '\0' || strings[bytes + 1] != '\0')
        bytes++;
    bytes += 1;  // the last entry's terminator
    static const char PROMPT_ENTRY[] = "PROMPT=$P$G";
    ChildEnvironment = (char*)HeapAlloc(GetProcessHeap(), 0, bytes + sizeof(PROMPT_ENTRY) + 1);
    if (ChildEnvironment == NULL)
        return 0;
    memcpy(ChildEnvironment, strings, bytes);
    memcpy(ChildEnvironment + bytes, PROMPT_ENTRY, sizeof(PROMPT_ENTRY));
    ChildEnvironment[bytes + sizeof(PROMPT_ENTRY)] = '\0';
    FreeEnvironmentStringsA(strings);
    return 1;
}

static void EndChild(HANDLE process)
{
    if (WaitForSingleObject(process, CHILD_WAIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process, 9);
    CloseHandle(process);
}

static DWORD WINAPI ChurnWorker(void* unused)
{
    (void)unused;
    HANDLE inFlight[CHURN_IN_FLIGHT];
    int count = 0;
    int oldest = 0;
    while (!StopRequested) {
        if (count == CHURN_IN_FLIGHT) {
            EndChild(inFlight[oldest]);
            count--;
            oldest = (oldest + 1) % CHURN_IN_FLIGHT;
        }
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info;
        memset(&info, 0, sizeof(info));
        char commandLine[sizeof(ChildCommandLine)];
        memcpy(commandLine, ChildCommandLine, sizeof(commandLine));
        if (!CreateProcessA(ChildProgram, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS, ChildEnvironment, NULL,
                            &startup, &info)) {
            Sleep(1);
            continue;
        }
        CloseHandle(info.hThread);
        inFlight[(oldest + count) % CHURN_IN_FLIGHT] = info.hProcess;
        count++;
        InterlockedIncrement64(&Rounds);
    }
    for (; count > 0; count--, oldest = (oldest + 1) % CHURN_IN_FLIGHT)
        EndChild(inFlight[oldest]);
    return 0;
}

static int EndsWith(const char* text, const char* ending)
{
    size_t textLength = strlen(text);
    size_t endingLength = strlen(ending);
    return textLength >= endingLength && strcmp(text + textLength - endingLength, ending) == 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], HOSTILE_EXIT) == 0)
        return 0;
    // Standard handles are taken before the parameters start to move.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (argc != 2)
        return 2;
    const char* mode = argv[1];
    CleanMode = EndsWith(mode, "-clean");

    OwnPeb = PebAddress();
    if (OwnPeb == NULL)
        return 3;
    OwnParameters = ReadPointer(OwnPeb + PARAMETERS_OFFSET_IN_PEB);
    unsigned char* environment = ReadPointer(OwnParameters + ENVIRONMENT_OFFSET_IN_PARAMETERS);

    LPTHREAD_START_ROUTINE worker = NULL;
    int threads = 1;
    int prepared = 0;
    if (strcmp(mode, HOSTILE_FLIP) == 0 || strcmp(mode, HOSTILE_FLIP_CLEAN) == 0) {
        prepared = PrepareFlip();
        worker = FlipWorker;
    } else if (strcmp(mode, HOSTILE_SWAP) == 0 || strcmp(mode, HOSTILE_SWAP_CLEAN) == 0) {
        prepared = PrepareSwap();
        worker = SwapWorker;
    } else if (strcmp(mode, HOSTILE_REWRITE) == 0 || strcmp(mode, HOSTILE_REWRITE_CLEAN) == 0) {
        prepared = PrepareRewrite();
        worker = RewriteWorker;
    } else if (strcmp(mode, HOSTILE_STRINGS) == 0) {
        prepared = PrepareStrings();
        worker = StringsWorker;
    } else if (strcmp(mode, HOSTILE_CHURN) == 0 || strcmp(mode, HOSTILE_CHURN_CLEAN) == 0) {
        prepared = PrepareChurn();
        worker = ChurnWorker;
        threads = CHURN_THREADS;
    }
    if (!prepared) {
        StorePointer(OwnParameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, environment);
        return 3;
    }

    HANDLE workers[CHURN_THREADS];
    for (int index = 0; index < threads; index++) {
        workers[index] = CreateThread(NULL, 0, worker, NULL, 0, NULL);
        if (workers[index] == NULL)
            return 4;
    }

    DWORD written = 0;
    WriteFile(output, "R", 1, &written, NULL);
    char byte = 0;
    DWORD read = 0;
    while (ReadFile(input, &byte, 1, &read, NULL) && read != 0) {
    }

    InterlockedExchange(&StopRequested, 1);
    DWORD stopped = WaitForMultipleObjects((DWORD)threads, workers, TRUE, STOP_WAIT_MS);
    for (int index = 0; index < threads; index++)
        CloseHandle(workers[index]);
    if (stopped == WAIT_TIMEOUT)
        return 5;

    // Put the process's own records back before the runtime's exit uses them.
    StorePointer(OwnPeb + PARAMETERS_OFFSET_IN_PEB, OwnParameters);
    StorePointer(OwnParameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, environment);
    if (strcmp(mode, HOSTILE_STRINGS) == 0)
        RestoreStrings();

    char report[32];
    int length = _snprintf(report, sizeof(report) - 1, "%lld\n", (long long)Rounds);
    if (length > 0)
        WriteFile(output, report, (DWORD)length, &written, NULL);
    return 0;
}
