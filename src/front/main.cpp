// Entry point: prepares the process, picks the layout from the command line,
// runs the scan or prints the help screen, and puts the console back.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "../scanner/asciifold.h"
#include "../scanner/jsonscan.h"
#include "../scanner/scan.h"
#include "../scanner/systemfunction.h"
#include "../scanner/watch.h"
#include "console.h"
#include "privilege.h"
#include "version.h"

#define PROMPT_VALUE_BYTES 128
#define OUTPUT_BUFFER_BYTES 4096

// Standard output is fully buffered even on a console, where the runtime
// would otherwise write one character at a time; every colour change and the
// key wait flush it first, so each text still shows in its own colour.
static char OutputBuffer[OUTPUT_BUFFER_BYTES];

// The text layouts: the banner, then the records or the error line.
static void RunTextScan(int mode)
{
    DWORD errorCode = 0;
    PrintBanner();
    int answer = ScanProcesses(mode, &errorCode);
    if (answer == SCAN_NO_SNAPSHOT)
        PrintError("\n\n\t Error: Failed to get running process list, Error Code = 0x%.8x\n\n", errorCode);
    else if (answer == SCAN_NO_FIRST_PROCESS)
        PrintError("\n\n\t Error: Failed to get running process info, Error Code = 0x%.8x\n\n", errorCode);
}

// Compares two option texts, folding only the ASCII letters A-Z.
static int IsSameOption(const char* argument, const char* option)
{
    for (;; argument++, option++) {
        if (FoldAsciiLetter((unsigned char)*argument) != FoldAsciiLetter((unsigned char)*option))
            return 0;
        if (*argument == '\0')
            return 1;
    }
}

// The watch's seconds: a whole number from 1 to WATCH_SECONDS_MAX, digits
// only; 0 for anything else.
static DWORD ParseWatchSeconds(const char* text)
{
    DWORD seconds = 0;
    if (*text == '\0')
        return 0;
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9')
            return 0;
        seconds = seconds * 10 + (DWORD)(*text - '0');
        if (seconds > WATCH_SECONDS_MAX)
            return 0;
    }
    return seconds;
}

int main(int argc, char** argv)
{
    // Before anything can load a DLL by name: never from the tool's folder.
    RestrictDllSearch();
    setvbuf(stdout, OutputBuffer, _IOFBF, sizeof(OutputBuffer));
    WORD savedAttributes = GetTextAttributes();
    EnableDebugPrivilege();

    // The JSON layouts: UTF-8 bytes with bare LF line ends, no colour, the
    // console's attributes never touched, and an exit status collectors
    // can act on.
    int watch = argc >= 2 && argc <= 3 && IsSameOption(argv[1], "-w");
    DWORD watchSeconds = argc == 3 && watch ? ParseWatchSeconds(argv[2]) : 0;
    RUN_FACTS facts;
    if (argc == 2 && IsSameOption(argv[1], "-j")) {
        _setmode(_fileno(stdout), _O_BINARY);
        ReadRunFacts(&facts);
        exit(ScanProcessesAsJson(&facts));
    }
    if (watch && (argc == 2 || watchSeconds != 0)) {
        _setmode(_fileno(stdout), _O_BINARY);
        ReadRunFacts(&facts);
        exit(WatchProcesses(watchSeconds, &facts));
    }

    RestoreAttributesOnControl(savedAttributes);
    if (argc == 1) {
        RunTextScan(OUTPUT_BLOCK);
        SetTextColor(COLOR_WHITE);
        printf("\n\n Note: Type %s.exe -h for more options\n\n", PROGRAM_NAME);

        char promptValue[PROMPT_VALUE_BYTES];
        if (GetEnvironmentVariableA("PROMPT", promptValue, sizeof(promptValue)) == 0) {
            SetTextColor(COLOR_RED);
            printf("\n This is a console application. Kindly Run it from the CMD Prompt!");
            printf("\n\n Press any key to exit....\n");
            fflush(stdout);
            // With the output going to a file or a pipe nobody sees the
            // request, and a wait would never end.
            if (IsStandardOutputConsole())
                WaitForKeyPress();
        }
        RestoreTextAttributes(savedAttributes);
        exit(0);
    }

    if (argc == 2) {
        if (IsSameOption(argv[1], "-l"))
            RunTextScan(OUTPUT_LINE);
        else if (IsSameOption(argv[1], "-x"))
            RunTextScan(OUTPUT_XML);
        else
            PrintUsage();
        RestoreTextAttributes(savedAttributes);
        exit(0);
    }

    PrintUsage();
    RestoreTextAttributes(savedAttributes);
    return 0;
}
