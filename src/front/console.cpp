// The fixed texts of the console (banner, help screen, error line) and the
// single key wait.
#include "console.h"

#include <stdarg.h>
#include <stdio.h>

#include "version.h"

static char ErrorText[ERROR_TEXT_BYTES];

// Signalled by the control handler while WaitForKeyPress runs: Wine delivers
// Ctrl+C as a control event even with processed input switched off.
static HANDLE KeyWaitControlEvent = NULL;

static const char STARS[] = "****************************************************************";

// The title block the banner and the help screen share.
static void PrintTitleBlock(void)
{
    SetTextColor(COLOR_WHITE);
    printf("\n\n%s", STARS);
    printf("\n\n    %s v%s by " MAKER_NAME, DISPLAY_NAME, VERSION_TEXT);
    printf("\n\n    %s", PRODUCT_WEB_ADDRESS);
    SetTextColor(COLOR_WHITE);
    printf("\n\n%s", STARS);
}

void PrintBanner(void)
{
    WORD saved = GetTextAttributes();
    PrintTitleBlock();
    RestoreTextAttributes(saved);
}

void PrintUsage(void)
{
    WORD saved = GetTextAttributes();
    PrintTitleBlock();

    SetTextColor(COLOR_GREEN);
    printf("\n\n\n Usage: \n\t %s [-h | -l | -x | -j | -w [seconds]]", PROGRAM_NAME);
    printf("\n\n\n Examples:\n");
    printf("\n\t //Display all the Hidden Command Prompts/Shells");
    printf("\n\t %s", PROGRAM_NAME);
    printf("\n\n\t //Display all the Command Prompts line by line");
    printf("\n\t %s -l", PROGRAM_NAME);
    printf("\n\n\t //Display all the Command Prompts in XML format");
    printf("\n\t %s -x", PROGRAM_NAME);
    printf("\n\n\t //Display every shell with its evidence as JSON Lines");
    printf("\n\t %s -j", PROGRAM_NAME);
    printf("\n\n\t //Watch for new shells as JSON Lines, until Ctrl+C or for the seconds given");
    printf("\n\t %s -w [seconds]", PROGRAM_NAME);
    printf("\n\n\t //Show this help screen");
    printf("\n\t %s -h", PROGRAM_NAME);
    printf("\n\n");
    RestoreTextAttributes(saved);
}

void PrintError(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    _vsnprintf(ErrorText, sizeof(ErrorText) - 1, format, arguments);
    va_end(arguments);
    ErrorText[sizeof(ErrorText) - 1] = '\0';

    WORD saved = GetTextAttributes();
    SetTextColor(COLOR_RED);
    printf("%s", ErrorText);
    RestoreTextAttributes(saved);
}

static BOOL WINAPI OnKeyWaitControl(DWORD controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
        return FALSE;
    if (KeyWaitControlEvent != NULL)
        SetEvent(KeyWaitControlEvent);
    return TRUE;
}

// A key-down that gives a character, or a function, cursor or editing key.
// Modifiers alone, key releases and other events do not end the wait.
static int IsWaitEndingKey(const INPUT_RECORD* record)
{
    if (record->EventType != KEY_EVENT || !record->Event.KeyEvent.bKeyDown)
        return 0;
    if (record->Event.KeyEvent.uChar.AsciiChar != 0)
        return 1;
    WORD key = record->Event.KeyEvent.wVirtualKeyCode;
    // Escape gives its character on Windows; some consoles report it bare.
    if (key == VK_ESCAPE)
        return 1;
    if (key >= VK_F1 && key <= VK_F24)
        return 1;
    if (key >= VK_PRIOR && key <= VK_DOWN)
        return 1;
    return key == VK_INSERT || key == VK_DELETE || key == VK_CLEAR;
}

int IsStandardOutputConsole(void)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? 1 : 0;
}

void WaitForKeyPress(void)
{
    // The console's own input, not standard input, which may be redirected.
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        return;
    DWORD savedMode = 0;
    if (GetConsoleMode(input, &savedMode)) {
        KeyWaitControlEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        SetConsoleMode(input, 0);
        SetConsoleCtrlHandler(OnKeyWaitControl, TRUE);
        for (;;) {
            HANDLE waits[2] = {input, KeyWaitControlEvent};
            DWORD count = KeyWaitControlEvent != NULL ? 2 : 1;
            DWORD woken = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
            if (woken != WAIT_OBJECT_0)
                break;
            INPUT_RECORD record;
            DWORD read = 0;
            if (!ReadConsoleInputA(input, &record, 1, &read))
                break;
            if (read == 1 && IsWaitEndingKey(&record))
                break;
        }
        SetConsoleCtrlHandler(OnKeyWaitControl, FALSE);
        SetConsoleMode(input, savedMode);
        if (KeyWaitControlEvent != NULL) {
            CloseHandle(KeyWaitControlEvent);
            KeyWaitControlEvent = NULL;
        }
    }
    CloseHandle(input);
}
