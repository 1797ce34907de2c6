// Reads the evidence of a listed shell with read-only access: its process
// parameters (the 32-bit ones for a WOW64 process, which its own code keeps
// up to date), its times, its token and its image path. Everything in the
// target's memory is untrusted: lengths and pointers are checked before any
// read, and every read stays inside the region the pointer lies in.
#include "evidence.h"

#include <string.h>

#include "environment.h"
#include "text.h"

#define TOKEN_INFORMATION_BYTES 1000

// Where a parameters record of either layout keeps what is read here.
typedef struct PARAMETERS_LAYOUT {
    DWORD recordBytes;
    size_t flags;
    size_t consoleHandle;
    size_t standardInput;  // then StandardOutput and StandardError, a pointer apart
    size_t currentDirectory;
    size_t commandLine;
    size_t windowFlags;
    size_t showWindowFlags;
    size_t desktopInfo;
    size_t pointerBytes;
} PARAMETERS_LAYOUT;

static const PARAMETERS_LAYOUT LAYOUT_64 = {
    PARAMETERS_EVIDENCE_BYTES,      PARAMETERS_FLAGS_OFFSET,        PARAMETERS_CONSOLE_HANDLE_OFFSET,
    PARAMETERS_STANDARD_INPUT_OFFSET, PARAMETERS_CURRENT_DIRECTORY_OFFSET, PARAMETERS_COMMAND_LINE_OFFSET,
    PARAMETERS_WINDOW_FLAGS_OFFSET, PARAMETERS_SHOW_WINDOW_FLAGS_OFFSET, PARAMETERS_DESKTOP_INFO_OFFSET,
    sizeof(ULONG64)};
static const PARAMETERS_LAYOUT LAYOUT_32 = {
    PARAMETERS32_EVIDENCE_BYTES,      PARAMETERS32_FLAGS_OFFSET,        PARAMETERS32_CONSOLE_HANDLE_OFFSET,
    PARAMETERS32_STANDARD_INPUT_OFFSET, PARAMETERS32_CURRENT_DIRECTORY_OFFSET, PARAMETERS32_COMMAND_LINE_OFFSET,
    PARAMETERS32_WINDOW_FLAGS_OFFSET, PARAMETERS32_SHOW_WINDOW_FLAGS_OFFSET, PARAMETERS32_DESKTOP_INFO_OFFSET,
    sizeof(DWORD)};

// Every field read lies inside the bytes read of its record.
static_assert(PARAMETERS_STANDARD_INPUT_OFFSET + STANDARD_HANDLES * sizeof(ULONG64) <= PARAMETERS_EVIDENCE_BYTES,
              "64-bit standard handles outside the record read");
static_assert(PARAMETERS32_STANDARD_INPUT_OFFSET + STANDARD_HANDLES * sizeof(DWORD) <= PARAMETERS32_EVIDENCE_BYTES,
              "32-bit standard handles outside the record read");
static_assert(PARAMETERS_CONSOLE_HANDLE_OFFSET + sizeof(ULONG64) <= PARAMETERS_STANDARD_INPUT_OFFSET &&
                  PARAMETERS32_CONSOLE_HANDLE_OFFSET + sizeof(DWORD) <= PARAMETERS32_STANDARD_INPUT_OFFSET,
              "console handle overlapping the standard handles");
static_assert(PARAMETERS_DESKTOP_INFO_OFFSET + 2 * sizeof(ULONG64) <= PARAMETERS_EVIDENCE_BYTES,
              "64-bit desktop outside the record read");
static_assert(PARAMETERS32_DESKTOP_INFO_OFFSET + 2 * sizeof(DWORD) <= PARAMETERS32_EVIDENCE_BYTES,
              "32-bit desktop outside the record read");
static_assert(PARAMETERS32_EVIDENCE_BYTES <= PARAMETERS_EVIDENCE_BYTES, "32-bit record larger than the buffer");

static void ClearText(REMOTE_TEXT* text)
{
    text->found = 0;
    text->chars = 0;
    text->text[0] = 0;
}

// Reads a UNICODE_STRING of a parameters record read into image: the text
// it points at, or the part of it inside the pointer's region. A length that
// is odd or above its maximum, or a pointer into unreadable memory, finds
// nothing. A text inside known, a span already found readable, is read
// without asking about its region again. base is added to the pointer: the
// record's address when its buffers are offsets, else 0.
static int ReadRemoteText(HANDLE process, const unsigned char* image, size_t offset, size_t pointerBytes,
                          ULONG_PTR base, const PARAMETERS_RECORD* known, REMOTE_TEXT* text)
{
    ClearText(text);
    USHORT length = 0;
    USHORT maximum = 0;
    memcpy(&length, image + offset, sizeof(length));
    memcpy(&maximum, image + offset + sizeof(length), sizeof(maximum));
    // The pointer follows the two counts at its natural alignment.
    ULONG_PTR at = ReadPointerAt(image, offset + pointerBytes, pointerBytes);
    if (length % sizeof(WCHAR) != 0 || length > maximum)
        return 0;
    // An offset that carries the address past what the layout's pointers
    // reach points nowhere.
    ULONG_PTR highest = pointerBytes < sizeof(ULONG_PTR) ? (ULONG_PTR)0xFFFFFFFFu : ~(ULONG_PTR)0;
    if (base > highest || at > highest - base)
        return 0;
    at += base;
    const void* address = (const void*)at;
    if (length == 0) {
        text->found = 1;
        return 1;
    }

    // A text inside the span the shell test already found readable (where
    // the system puts it, right after the record) needs no second question.
    DWORD regionSize = 0;
    if (known != NULL && at >= known->address && at - known->address <= known->readable &&
        length <= known->readable - (at - known->address))
        regionSize = length;
    else if (!QueryReadableRegion(process, address, &regionSize))
        return 0;
    DWORD wanted = length < regionSize ? length : regionSize;
    wanted -= wanted % (DWORD)sizeof(WCHAR);
    SIZE_T copied = 0;
    if (wanted == 0 || !ReadProcessMemory(process, address, text->text, wanted, &copied) || copied == 0)
        return 0;
    text->chars = (DWORD)(copied / sizeof(WCHAR));
    text->text[text->chars] = 0;
    text->found = 1;
    return 1;
}

// Reads a parameters record into image. The whole record must lie in the
// region the shell test checked: the fields at its end are not taken from
// whatever follows it.
static int ReadParametersRecord(HANDLE process, const PARAMETERS_RECORD* record, const PARAMETERS_LAYOUT* layout,
                                unsigned char* image)
{
    return record->address != 0 && record->readable >= layout->recordBytes &&
           ReadProcessMemory(process, (const void*)record->address, image, layout->recordBytes, NULL);
}

// Command line, current directory, the start-up flags, the standard
// handles, the console handle and the desktop asked for, from the
// parameters record of the view the shell test chose, where it found it. A
// WOW64 process whose 32-bit record cannot be read still has the 64-bit one
// it was created with.
static void ReadStartupRecords(HANDLE process, const PROMPT_MATCH* match, SHELL_EVIDENCE* evidence)
{
    const PARAMETERS_LAYOUT* layout = &LAYOUT_64;
    const PARAMETERS_RECORD* record = &match->parameters;
    unsigned char image[PARAMETERS_EVIDENCE_BYTES];
    memset(image, 0, sizeof(image));
    if (match->peb32 != 0 && ReadParametersRecord(process, &match->parameters32, &LAYOUT_32, image)) {
        layout = &LAYOUT_32;
        record = &match->parameters32;
    } else if (!ReadParametersRecord(process, record, layout, image)) {
        return;
    }

    DWORD flags = 0;
    memcpy(&flags, image + layout->flags, sizeof(flags));
    ULONG_PTR base = (flags & PARAMETERS_NORMALIZED_FLAG) != 0 ? 0 : record->address;
    ReadRemoteText(process, image, layout->commandLine, layout->pointerBytes, base, record,
                   &evidence->commandLine);
    ReadRemoteText(process, image, layout->currentDirectory, layout->pointerBytes, base, record,
                   &evidence->currentDirectory);
    memcpy(&evidence->windowFlags, image + layout->windowFlags, sizeof(DWORD));
    memcpy(&evidence->showWindowFlags, image + layout->showWindowFlags, sizeof(DWORD));
    for (int index = 0; index < STANDARD_HANDLES; index++)
        evidence->standardHandles[index] =
            ReadPointerAt(image, layout->standardInput + index * layout->pointerBytes, layout->pointerBytes);
    evidence->consoleHandle = ReadPointerAt(image, layout->consoleHandle, layout->pointerBytes);
    evidence->foundWindowFlags = 1;
    ReadRemoteText(process, image, layout->desktopInfo, layout->pointerBytes, base, record, &evidence->desktopInfo);
}

// Owner account, integrity level, logon session and elevation, from the
// process's token.
static void ReadTokenFacts(HANDLE process, SHELL_EVIDENCE* evidence)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return;

    // The record holds a SID pointer: the union aligns the buffer for it.
    union {
        TOKEN_MANDATORY_LABEL label;
        unsigned char bytes[TOKEN_INFORMATION_BYTES];
    } information;
    DWORD returned = 0;
    ReadTokenOwner(token, &evidence->owner);
    // The logon session, looked up once per scan however many shells share it.
    TOKEN_STATISTICS statistics;
    if (GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &returned)) {
        evidence->logonId = statistics.AuthenticationId;
        evidence->logon = LookUpLogonSession(&evidence->logonId);
        evidence->foundLogonId = 1;
    }
    TOKEN_ELEVATION_TYPE elevationType;
    if (GetTokenInformation(token, TokenElevationType, &elevationType, sizeof(elevationType), &returned)) {
        evidence->elevationType = (DWORD)elevationType;
        evidence->foundElevationType = 1;
    }
    if (GetTokenInformation(token, TokenIntegrityLevel, &information, sizeof(information), &returned)) {
        PSID label = information.label.Label.Sid;
        if (label != NULL && IsValidSid(label) && *GetSidSubAuthorityCount(label) > 0) {
            evidence->integrity = *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1);
            evidence->foundIntegrity = 1;
        }
    }
    CloseHandle(token);
}

void ReadShellEvidence(HANDLE process, const PROMPT_MATCH* match, SHELL_EVIDENCE* evidence)
{
    ClearText(&evidence->commandLine);
    ClearText(&evidence->currentDirectory);
    ClearText(&evidence->desktopInfo);
    evidence->foundWindowFlags = 0;
    evidence->consoleHandle = 0;
    memset(evidence->standardHandles, 0, sizeof(evidence->standardHandles));
    evidence->owner.foundAccount = 0;
    evidence->owner.foundSid = 0;
    evidence->foundIntegrity = 0;
    evidence->foundLogonId = 0;
    evidence->logon = NULL;
    evidence->foundElevationType = 0;
    evidence->foundPath = 0;
    evidence->path[0] = 0;
    ReadStartupRecords(process, match, evidence);
    ReadTokenFacts(process, evidence);
    evidence->foundPath = QueryImagePath(process, evidence->path, IMAGE_PATH_CHARS);
}

int ReadProcessCommandLine(HANDLE process, REMOTE_TEXT* text)
{
    unsigned char image[PARAMETERS_COMMAND_LINE_OFFSET + 2 * sizeof(ULONG64)];
    PARAMETERS_RECORD record = {0, 0, 0};
    ULONG_PTR imageBase = 0;
    ClearText(text);
    if (FindProcessParameters(process, &record.address, &imageBase) != RECORDS_FOLLOWED ||
        !QueryReadableRegion(process, (const void*)record.address, &record.readable) ||
        record.readable < sizeof(image) ||
        !ReadProcessMemory(process, (const void*)record.address, image, sizeof(image), NULL))
        return 0;
    DWORD flags = 0;
    memcpy(&flags, image + PARAMETERS_FLAGS_OFFSET, sizeof(flags));
    ULONG_PTR base = (flags & PARAMETERS_NORMALIZED_FLAG) != 0 ? 0 : record.address;
    return ReadRemoteText(process, image, PARAMETERS_COMMAND_LINE_OFFSET, sizeof(ULONG64), base, &record, text);
}
