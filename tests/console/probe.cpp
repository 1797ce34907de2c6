// Console probe for the console tests. It runs in the console under test and
// reports on it in plain lines the driver parses:
//   console_probe state
//       STATE attributes=0x.... input-mode=0x....
//   console_probe set ATTRIBUTES INPUT-MODE
//       sets both, then reports them as "SET ..." (printed in the new colours)
//   console_probe run [--attributes A] [--input-mode M] [--report-wait] [--modifiers]
//                     [TOOL ARGS...]
//       sets the console's state, starts Murkscope64.exe in the same console
//       with no prompt entry in its environment (so it waits for a key) and
//       reports the state before, the start of the tool's key wait
//       (WAITING, seen as the console input switched to raw mode), its exit
//       status, the state it left behind and the input records it left
//       unread. --modifiers also writes bare modifier key records into the
//       console input during the wait and reports whether the tool read
//       them all and kept waiting.
// The tool's own state changes reach the console this program reads, because
// the tool is its child in the same console, and the probe reads no console
// input while the tool runs, so key presses reach the tool.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#define TOOL_PROGRAM "Murkscope64.exe"
#define POLL_MS 10
// Generous bounds for a loaded machine; the driver has its own deadline.
#define WAIT_START_LIMIT_MS 60000
#define CONSUME_LIMIT_MS 20000
#define STILL_WAITING_MS 2000
#define RECORDS_LIMIT 64

static HANDLE Output = INVALID_HANDLE_VALUE;
static HANDLE Input = INVALID_HANDLE_VALUE;

struct ConsoleState {
    WORD attributes;
    DWORD inputMode;
};

static bool ReadConsoleState(ConsoleState* state)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(Output, &info) || !GetConsoleMode(Input, &state->inputMode))
        return false;
    state->attributes = info.wAttributes;
    return true;
}

static void PrintState(const char* label, const ConsoleState& state)
{
    printf("%s attributes=0x%04x input-mode=0x%04lx\n", label, (unsigned)state.attributes,
           (unsigned long)state.inputMode);
    fflush(stdout);
}

static bool OpenConsole(void)
{
    Output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    Input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL);
    if (Output == INVALID_HANDLE_VALUE || Input == INVALID_HANDLE_VALUE) {
        printf("NO-CONSOLE error=%lu\n", (unsigned long)GetLastError());
        fflush(stdout);
        return false;
    }
    return true;
}

static bool SetConsoleState(WORD attributes, DWORD inputMode)
{
    // Text printed earlier keeps the colours it was printed in.
    fflush(stdout);
    return SetConsoleTextAttribute(Output, attributes) && SetConsoleMode(Input, inputMode);
}

static int ParseNumber(const char* text, DWORD* value)
{
    char* end = NULL;
    unsigned long parsed = strtoul(text, &end, 0);
    if (end == text || *end != '\0')
        return 0;
    *value = (DWORD)parsed;
    return 1;
}

// Ctrl+C reaches every process of the console; the probe outlives it so that
// it can report on the tool.
static BOOL WINAPI OnProbeControl(DWORD controlType)
{
    return controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT;
}

static bool BeginsWithPrompt(const char* entry)
{
    return _strnicmp(entry, "prompt", 6) == 0;
}

// The probe's environment without prompt entries.
static std::string BuildEnvironment(void)
{
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != NULL && *entry != '\0'; entry += strlen(entry) + 1) {
        if (!BeginsWithPrompt(entry))
            block.append(entry, strlen(entry) + 1);
    }
    if (strings != NULL)
        FreeEnvironmentStringsA(strings);
    block.push_back('\0');
    return block;
}

static std::string ToolPath(void)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
    std::string text(path, length);
    return text.substr(0, text.find_last_of('\\') + 1) + TOOL_PROGRAM;
}

static void FillKeyRecord(INPUT_RECORD* record, WORD virtualKey, WORD scanCode, BOOL down, DWORD controlState)
{
    memset(record, 0, sizeof(*record));
    record->EventType = KEY_EVENT;
    record->Event.KeyEvent.bKeyDown = down;
    record->Event.KeyEvent.wRepeatCount = 1;
    record->Event.KeyEvent.wVirtualKeyCode = virtualKey;
    record->Event.KeyEvent.wVirtualScanCode = scanCode;
    record->Event.KeyEvent.dwControlKeyState = controlState;
}

// Shift, Ctrl and Alt pressed and released alone, as a Windows console reports
// them, then a release of a letter whose press the tool never saw.
static DWORD WriteModifierRecords(void)
{
    INPUT_RECORD records[7];
    FillKeyRecord(&records[0], VK_SHIFT, 0x2a, TRUE, SHIFT_PRESSED);
    FillKeyRecord(&records[1], VK_SHIFT, 0x2a, FALSE, 0);
    FillKeyRecord(&records[2], VK_CONTROL, 0x1d, TRUE, LEFT_CTRL_PRESSED);
    FillKeyRecord(&records[3], VK_CONTROL, 0x1d, FALSE, 0);
    FillKeyRecord(&records[4], VK_MENU, 0x38, TRUE, LEFT_ALT_PRESSED);
    FillKeyRecord(&records[5], VK_MENU, 0x38, FALSE, 0);
    FillKeyRecord(&records[6], 'A', 0x1e, FALSE, 0);
    records[6].Event.KeyEvent.uChar.AsciiChar = 'a';
    DWORD written = 0;
    if (!WriteConsoleInputA(Input, records, 7, &written))
        return 0;
    return written;
}

static DWORD CountPendingRecords(void)
{
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(Input, &pending))
        return 0;
    return pending;
}

// Waits until the tool switches the console input to raw mode, the first
// step of its key wait; false if it ends first or never does.
static bool WaitForRawInput(HANDLE process)
{
    for (DWORD waited = 0; waited < WAIT_START_LIMIT_MS; waited += POLL_MS) {
        DWORD mode = 0;
        if (GetConsoleMode(Input, &mode) && mode == 0)
            return true;
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0)
            return false;
    }
    return false;
}

static void InjectModifiers(HANDLE process)
{
    DWORD written = WriteModifierRecords();
    printf("INJECTED records=%lu\n", (unsigned long)written);
    fflush(stdout);
    DWORD pending = CountPendingRecords();
    for (DWORD waited = 0; pending != 0 && waited < CONSUME_LIMIT_MS; waited += POLL_MS) {
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0)
            break;
        pending = CountPendingRecords();
    }
    // A record that wrongly ended the wait has the tool on its way out: give
    // it time to finish before looking.
    bool running = WaitForSingleObject(process, STILL_WAITING_MS) == WAIT_TIMEOUT;
    printf("AFTER-MODIFIERS pending=%lu running=%d\n", (unsigned long)pending, running ? 1 : 0);
    fflush(stdout);
}

// Input records nobody read: they tell which record ended the tool's wait.
static void PrintLeftoverRecords(void)
{
    INPUT_RECORD records[RECORDS_LIMIT];
    DWORD read = 0;
    if (!PeekConsoleInputA(Input, records, RECORDS_LIMIT, &read))
        read = 0;
    printf("LEFTOVER count=%lu", (unsigned long)read);
    for (DWORD index = 0; index < read; index++) {
        const INPUT_RECORD& record = records[index];
        if (record.EventType == KEY_EVENT)
            printf(" key:%s:0x%02x", record.Event.KeyEvent.bKeyDown ? "down" : "up",
                   (unsigned)record.Event.KeyEvent.wVirtualKeyCode);
        else
            printf(" event:%u", (unsigned)record.EventType);
    }
    printf("\n");
    fflush(stdout);
    FlushConsoleInputBuffer(Input);
}

static int RunTool(int argc, char** argv)
{
    bool modifiers = false;
    bool reportWait = false;
    bool setAttributes = false;
    bool setMode = false;
    DWORD attributes = 0;
    DWORD inputMode = 0;
    int index = 2;
    for (; index < argc; index++) {
        if (strcmp(argv[index], "--modifiers") == 0)
            modifiers = true;
        else if (strcmp(argv[index], "--report-wait") == 0)
            reportWait = true;
        else if (strcmp(argv[index], "--attributes") == 0 && index + 1 < argc &&
                 ParseNumber(argv[index + 1], &attributes)) {
            setAttributes = true;
            index++;
        } else if (strcmp(argv[index], "--input-mode") == 0 && index + 1 < argc &&
                   ParseNumber(argv[index + 1], &inputMode)) {
            setMode = true;
            index++;
        } else {
            break;
        }
    }

    ConsoleState original;
    if (!ReadConsoleState(&original))
        return 2;
    if ((setAttributes || setMode) &&
        !SetConsoleState(setAttributes ? (WORD)attributes : original.attributes,
                         setMode ? inputMode : original.inputMode))
        return 2;
    // Keys typed before the run must not reach the tool.
    FlushConsoleInputBuffer(Input);
    ConsoleState before;
    if (!ReadConsoleState(&before))
        return 2;
    PrintState("BEFORE", before);

    std::string commandLine = "\"" + ToolPath() + "\"";
    for (; index < argc; index++)
        commandLine += std::string(" ") + argv[index];
    std::string environment = BuildEnvironment();
    SetConsoleCtrlHandler(OnProbeControl, TRUE);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, 0, &environment[0], NULL, &startup, &process)) {
        printf("START-FAILED error=%lu\n", (unsigned long)GetLastError());
        return 2;
    }
    if (reportWait || modifiers) {
        if (WaitForRawInput(process.hProcess)) {
            printf("WAITING\n");
            fflush(stdout);
            if (modifiers)
                InjectModifiers(process.hProcess);
        } else {
            printf("NO-WAIT\n");
            fflush(stdout);
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    // Printed before anything else changes the colours, so the line shows on
    // screen in the colours the tool left.
    ConsoleState after;
    if (!ReadConsoleState(&after))
        return 2;
    printf("AFTER exit=%lu attributes=0x%04x input-mode=0x%04lx\n", (unsigned long)exitCode,
           (unsigned)after.attributes, (unsigned long)after.inputMode);
    fflush(stdout);
    PrintLeftoverRecords();
    SetConsoleState(original.attributes, original.inputMode);
    printf("END\n");
    fflush(stdout);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2 || !OpenConsole())
        return 2;
    if (strcmp(argv[1], "state") == 0 && argc == 2) {
        ConsoleState state;
        if (!ReadConsoleState(&state))
            return 2;
        PrintState("STATE", state);
        return 0;
    }
    if (strcmp(argv[1], "set") == 0 && argc == 4) {
        DWORD attributes = 0;
        DWORD inputMode = 0;
        ConsoleState state;
        if (!ParseNumber(argv[2], &attributes) || !ParseNumber(argv[3], &inputMode) ||
            !SetConsoleState((WORD)attributes, inputMode) || !ReadConsoleState(&state))
            return 2;
        PrintState("SET", state);
        return 0;
    }
    if (strcmp(argv[1], "run") == 0)
        return RunTool(argc, argv);
    return 2;
}
