// Test target: arranges its own environment block, as the mode argument says,
// by pointing its PEB's process parameters at memory it set up itself, then
// writes one byte 'R' to standard output and waits until its standard input
// closes. The scan then reads exactly what the test arranged.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "own_peb.h"
#include "target_modes.h"

#define PAGE_BYTES 4096
#define FOUR_GIB ((SIZE_T)4 << 30)
#define PARAMETERS_COPY_BYTES 0x800

static void WritePointer(unsigned char* where, const void* value)
{
    memcpy(where, &value, sizeof(value));
}

// Writes text (narrow, with embedded zeros) as UTF-16 at destination.
static void WriteWide(unsigned char* destination, const char* text, size_t characters)
{
    for (size_t index = 0; index < characters; index++) {
        WCHAR character = (WCHAR)(unsigned char)text[index];
        memcpy(destination + index * sizeof(WCHAR), &character, sizeof(character));
    }
}

static size_t AppendEntry(unsigned char* destination, size_t at, const char* entry)
{
    size_t characters = strlen(entry) + 1;
    WriteWide(destination + at, entry, characters);
    return at + characters * sizeof(WCHAR);
}

// Copies a block (zero-separated entries) to newly committed memory of its
// own region, rounded up to whole pages.
static unsigned char* PlaceBlock(const char* block, size_t characters)
{
    SIZE_T bytes = characters * sizeof(WCHAR);
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory != NULL)
        WriteWide(memory, block, characters);
    return memory;
}

#define BLOCK(text) PlaceBlock(text, sizeof(text) - 1)

// Entries such as a developer's machine holds before PROMPT, with a PATH of
// pathCharacters characters; answers the byte offset where PROMPT starts.
static size_t WriteSortedBlock(unsigned char* memory, size_t pathCharacters, const char* promptEntry)
{
    static char path[PAGE_BYTES * 32];
    size_t at = 0;
    at = AppendEntry(memory, at, "=C:=C:\\work");
    at = AppendEntry(memory, at, "ALLUSERSPROFILE=C:\\ProgramData");
    at = AppendEntry(memory, at, "COMPUTERNAME=RESPONDER-01");
    at = AppendEntry(memory, at, "ComSpec=C:\\Windows\\system32\\cmd.exe");
    at = AppendEntry(memory, at, "NUMBER_OF_PROCESSORS=8");
    at = AppendEntry(memory, at, "OS=Windows_NT");
    size_t length = 0;
    memcpy(path, "Path=", 5);
    length = 5;
    while (length + 1 < sizeof(path) && length < 5 + pathCharacters) {
        static const char folder[] = "C:\\Tools\\bin;";
        path[length] = folder[(length - 5) % (sizeof(folder) - 1)];
        length++;
    }
    path[length] = '\0';
    at = AppendEntry(memory, at, path);
    at = AppendEntry(memory, at, "PATHEXT=.COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC");
    at = AppendEntry(memory, at, "PROCESSOR_ARCHITECTURE=AMD64");
    at = AppendEntry(memory, at, "PROCESSOR_IDENTIFIER=Intel64 Family 6 Model 158 Stepping 10, GenuineIntel");
    at = AppendEntry(memory, at, "PROCESSOR_LEVEL=6");
    at = AppendEntry(memory, at, "PROCESSOR_REVISION=9e0a");
    at = AppendEntry(memory, at, "ProgramData=C:\\ProgramData");
    at = AppendEntry(memory, at, "ProgramFiles=C:\\Program Files");
    at = AppendEntry(memory, at, "ProgramFiles(x86)=C:\\Program Files (x86)");
    size_t promptAt = at;
    at = AppendEntry(memory, at, promptEntry);
    at = AppendEntry(memory, at, "PSModulePath=C:\\Program Files\\WindowsPowerShell\\Modules");
    at = AppendEntry(memory, at, "");
    return promptAt;
}

static unsigned char* PlaceSortedBlock(size_t pathCharacters)
{
    unsigned char* memory =
        (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES * 40, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory != NULL)
        WriteSortedBlock(memory, pathCharacters, "PROMPT=$P$G");
    return memory;
}

// A block of the given size in bytes whose entries all miss, with a prompt
// entry starting at byte promptAt.
static unsigned char* PlacePromptAt(size_t promptAt)
{
    SIZE_T bytes = promptAt + PAGE_BYTES;
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == NULL)
        return NULL;
    // Filler entries "A=xxxx", the last one stretched to end exactly at promptAt.
    size_t at = 0;
    while (at < promptAt) {
        size_t left = (promptAt - at) / sizeof(WCHAR);
        size_t characters = left > 200 ? 100 : left;
        for (size_t index = 0; index + 1 < characters; index++) {
            WCHAR character = index == 0 ? L'A' : (index == 1 ? L'=' : L'x');
            memcpy(memory + at + index * sizeof(WCHAR), &character, sizeof(character));
        }
        at += characters * sizeof(WCHAR);  // the last character stays zero
    }
    AppendEntry(memory, promptAt, "PROMPT=$P$G");
    return memory;
}

// One page committed with a reserved page after it: a block that fills the
// committed page without its closing empty entry, ending in tail.
static unsigned char* PlaceFilledPage(const char* tail)
{
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES * 2, MEM_RESERVE, PAGE_NOACCESS);
    if (memory == NULL || VirtualAlloc(memory, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE) == NULL)
        return NULL;
    size_t tailCharacters = strlen(tail);
    size_t total = PAGE_BYTES / sizeof(WCHAR);
    size_t at = 0;
    while (at < total - tailCharacters) {
        size_t characters = total - tailCharacters - at;
        if (characters > 50)
            characters = 50;
        for (size_t index = 0; index < characters; index++) {
            char character = index + 1 == characters ? '\0' : (index == 0 ? 'B' : (index == 1 ? '=' : 'y'));
            WriteWide(memory + (at + index) * sizeof(WCHAR), &character, 1);
        }
        at += characters;
    }
    WriteWide(memory + at * sizeof(WCHAR), tail, tailCharacters);
    return memory;
}

// A block starting 64 bytes before the end of a committed page that has
// reserved memory after it.
static unsigned char* PlaceAtRegionEnd(void)
{
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES * 2, MEM_RESERVE, PAGE_NOACCESS);
    if (memory == NULL || VirtualAlloc(memory, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE) == NULL)
        return NULL;
    static const char block[] = "PROMPT=$P$G\0\0";
    WriteWide(memory + PAGE_BYTES - 64, block, sizeof(block) - 1);
    return memory + PAGE_BYTES - 64;
}

static unsigned char* PlaceProtected(DWORD protection)
{
    unsigned char* memory = BLOCK("PROMPT=$P$G\0\0");
    DWORD old = 0;
    if (memory == NULL || !VirtualProtect(memory, PAGE_BYTES, protection, &old))
        return NULL;
    return memory;
}

static unsigned char* UnmappedAddress(void)
{
    unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory != NULL)
        VirtualFree(memory, 0, MEM_RELEASE);
    return memory;
}

// Moves the process parameters to a copy in memory of its own, whose
// environment pointer leads to a prompt block, then sets that memory's
// protection; protection 0 frees the copy instead.
static int MoveParameters(DWORD protection)
{
    unsigned char* peb = PebAddress();
    unsigned char* parameters = ReadPointer(peb + PARAMETERS_OFFSET_IN_PEB);
    unsigned char* copy =
        (unsigned char*)VirtualAlloc(NULL, PARAMETERS_COPY_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    unsigned char* block = BLOCK("PROMPT=$P$G\0\0");
    if (copy == NULL || block == NULL)
        return 0;
    memcpy(copy, parameters, PARAMETERS_COPY_BYTES / 2);
    WritePointer(copy + ENVIRONMENT_OFFSET_IN_PARAMETERS, block);
    DWORD old = 0;
    if (protection == 0) {
        if (!VirtualFree(copy, 0, MEM_RELEASE))
            return 0;
    } else if (!VirtualProtect(copy, PARAMETERS_COPY_BYTES, protection, &old)) {
        return 0;
    }
    WritePointer(peb + PARAMETERS_OFFSET_IN_PEB, copy);
    return 1;
}

// Memory below 4 GiB, where 32-bit pointers reach: the first address, in
// steps of 1 MiB, at which the system grants the allocation.
static unsigned char* AllocateLow(SIZE_T bytes, DWORD allocationType)
{
    for (ULONG_PTR address = 0x10000000; address + bytes <= ((ULONG_PTR)1 << 32); address += 0x100000) {
        void* memory = VirtualAlloc((void*)address, bytes, allocationType, PAGE_READWRITE);
        if (memory != NULL)
            return (unsigned char*)memory;
    }
    return NULL;
}

static void WritePointer32(unsigned char* where, const void* value)
{
    DWORD narrow = (DWORD)(ULONG_PTR)value;
    memcpy(where, &narrow, sizeof(narrow));
}

// A UNICODE_STRING32 at offset of record, for text written at where.
static void WriteString32(unsigned char* record, size_t offset, unsigned char* where, const char* text)
{
    USHORT bytes = (USHORT)(strlen(text) * sizeof(WCHAR));
    USHORT maximum = (USHORT)(bytes + sizeof(WCHAR));
    WriteWide(where, text, strlen(text) + 1);
    memcpy(record + offset, &bytes, sizeof(bytes));
    memcpy(record + offset + 2, &maximum, sizeof(maximum));
    WritePointer32(record + offset + 4, where);
}

static int IsMode(const char* mode, const char* wanted)
{
    return strcmp(mode, wanted) == 0;
}

// Builds the 32-bit view of a wow64 mode below 4 GiB: PEB32-like record ->
// 32-bit parameters -> block; answers the record's address.
static unsigned char* PlaceView32(const char* mode)
{
    static const char prompt[] = "PROMPT=$P$G\0\0";
    static const char other[] = "ALLUSERSPROFILE=C:\\ProgramData\0Path=C:\\Windows\0\0";
    unsigned char* peb32 = AllocateLow(PAGE_BYTES, MEM_RESERVE | MEM_COMMIT);
    unsigned char* parameters = AllocateLow(PAGE_BYTES, MEM_RESERVE | MEM_COMMIT);
    unsigned char* block = NULL;
    if (IsMode(mode, MODE_WOW64_REGION_END)) {
        unsigned char* memory = AllocateLow(PAGE_BYTES * 2, MEM_RESERVE);
        if (memory != NULL && VirtualAlloc(memory, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE) != NULL)
            block = memory + PAGE_BYTES - 64;
    } else {
        block = AllocateLow(PAGE_BYTES, MEM_RESERVE | MEM_COMMIT);
    }
    if (peb32 == NULL || parameters == NULL || block == NULL)
        return NULL;
    if (IsMode(mode, MODE_WOW64_PROMPT_64) || IsMode(mode, MODE_WOW64_NEITHER))
        WriteWide(block, other, sizeof(other) - 1);
    else
        WriteWide(block, prompt, sizeof(prompt) - 1);
    WritePointer32(peb32 + PARAMETERS32_OFFSET_IN_PEB32, parameters);
    WritePointer32(parameters + ENVIRONMENT32_OFFSET_IN_PARAMETERS32, block);
    // The texts live in the parameters' own page, past the record.
    WriteString32(parameters, COMMAND_LINE32_OFFSET_IN_PARAMETERS32, parameters + 0x200, WOW64_COMMAND_LINE);
    WriteString32(parameters, CURRENT_DIRECTORY32_OFFSET_IN_PARAMETERS32, parameters + 0x400, WOW64_DIRECTORY);
    // Normalised, as the loader leaves a record: its buffers are pointers.
    memcpy(parameters + FLAGS32_OFFSET_IN_PARAMETERS32, &NORMALIZED_FLAG_IN_PARAMETERS, sizeof(DWORD));
    DWORD windowFlags = STARTF_USESHOWWINDOW;
    DWORD showWindow = SW_HIDE;
    memcpy(parameters + WINDOW_FLAGS32_OFFSET_IN_PARAMETERS32, &windowFlags, sizeof(windowFlags));
    memcpy(parameters + SHOW_WINDOW_FLAGS32_OFFSET_IN_PARAMETERS32, &showWindow, sizeof(showWindow));

    DWORD old = 0;
    int arranged = 1;
    if (IsMode(mode, MODE_WOW64_ENV_NOACCESS))
        arranged = VirtualProtect(block, PAGE_BYTES, PAGE_NOACCESS, &old);
    else if (IsMode(mode, MODE_WOW64_ENV_UNMAPPED))
        arranged = VirtualFree(block, 0, MEM_RELEASE);
    else if (IsMode(mode, MODE_WOW64_PARAMETERS_NOACCESS) || IsMode(mode, MODE_WOW64_PROMPT_64_PARAMETERS_NOACCESS))
        arranged = VirtualProtect(parameters, PAGE_BYTES, PAGE_NOACCESS, &old);
    else if (IsMode(mode, MODE_WOW64_PARAMETERS_UNMAPPED))
        arranged = VirtualFree(parameters, 0, MEM_RELEASE);
    return arranged ? peb32 : NULL;
}

// The two UNICODE_STRINGs and the flags of the process's own parameters as
// they were, put back before the runtime's exit may use them.
static unsigned char SavedStrings[2][16];
static DWORD SavedFlags;
static const size_t STRING_OFFSETS[2] = {COMMAND_LINE_OFFSET_IN_PARAMETERS, CURRENT_DIRECTORY_OFFSET_IN_PARAMETERS};

static void SetString(unsigned char* parameters, size_t offset, USHORT length, USHORT maximum, const void* buffer)
{
    memcpy(parameters + offset, &length, sizeof(length));
    memcpy(parameters + offset + 2, &maximum, sizeof(maximum));
    WritePointer(parameters + offset + 8, buffer);
}

// Turns both strings' buffers into offsets from the record, with the
// normalised flag cleared; the texts must lie past the record's start.
static int UnnormaliseStrings(unsigned char* parameters)
{
    for (int index = 0; index < 2; index++) {
        unsigned char* buffer = ReadPointer(parameters + STRING_OFFSETS[index] + 8);
        if (buffer <= parameters)
            return 0;
        WritePointer(parameters + STRING_OFFSETS[index] + 8, (void*)(ULONG_PTR)(buffer - parameters));
    }
    DWORD flags = SavedFlags & ~(DWORD)NORMALIZED_FLAG_IN_PARAMETERS;
    memcpy(parameters + FLAGS_OFFSET_IN_PARAMETERS, &flags, sizeof(flags));
    return 1;
}

// Points both strings at what the mode asks for.
static int BreakStrings(unsigned char* parameters, const char* mode)
{
    static const char text[] = STRINGS_REGION_END_TEXT;
    memcpy(&SavedFlags, parameters + FLAGS_OFFSET_IN_PARAMETERS, sizeof(SavedFlags));
    for (int index = 0; index < 2; index++)
        memcpy(SavedStrings[index], parameters + STRING_OFFSETS[index], sizeof(SavedStrings[index]));
    if (IsMode(mode, MODE_STRINGS_OFFSETS))
        return UnnormaliseStrings(parameters);
    unsigned char* buffer = NULL;
    USHORT length = 8;
    USHORT maximum = 8;
    if (IsMode(mode, MODE_STRINGS_ODD)) {
        buffer = BLOCK("abcdef");
        length = 5;
        maximum = 12;
    } else if (IsMode(mode, MODE_STRINGS_OVER_MAX)) {
        buffer = BLOCK("abcdef");
        length = 8;
        maximum = 4;
    } else if (IsMode(mode, MODE_STRINGS_NOACCESS)) {
        buffer = PlaceProtected(PAGE_NOACCESS);
    } else if (IsMode(mode, MODE_STRINGS_UNMAPPED)) {
        buffer = UnmappedAddress();
    } else if (IsMode(mode, MODE_STRINGS_REGION_END)) {
        unsigned char* memory = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES * 2, MEM_RESERVE, PAGE_NOACCESS);
        if (memory == NULL || VirtualAlloc(memory, PAGE_BYTES, MEM_COMMIT, PAGE_READWRITE) == NULL)
            return 0;
        buffer = memory + PAGE_BYTES - 64;
        WriteWide(buffer, text, sizeof(text) - 1);
        length = 0x200;
        maximum = 0x202;
    } else if (IsMode(mode, MODE_STRINGS_HUGE)) {
        buffer = (unsigned char*)VirtualAlloc(NULL, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (buffer == NULL)
            return 0;
        for (size_t index = 0; index < 0x10000 / sizeof(WCHAR); index++) {
            WCHAR character = STRINGS_HUGE_CHARACTER;
            memcpy(buffer + index * sizeof(WCHAR), &character, sizeof(character));
        }
        length = 0xFFFE;
        maximum = 0xFFFE;
    }
    if (buffer == NULL && !IsMode(mode, MODE_STRINGS_UNMAPPED))
        return 0;
    for (int index = 0; index < 2; index++)
        SetString(parameters, STRING_OFFSETS[index], length, maximum, buffer);
    return 1;
}

static void RestoreStrings(unsigned char* parameters)
{
    for (int index = 0; index < 2; index++)
        memcpy(parameters + STRING_OFFSETS[index], SavedStrings[index], sizeof(SavedStrings[index]));
    memcpy(parameters + FLAGS_OFFSET_IN_PARAMETERS, &SavedFlags, sizeof(SavedFlags));
}

// The image's own loader entry names, as they were before the forgery.
static unsigned char* ForgedEntry = NULL;
static unsigned char SavedNames[2][16];

// Points the image's full and base names in its loader list at a forgery.
static int ForgeLoaderNames(unsigned char* peb)
{
    static const char forged[] = FORGED_PATH;
    unsigned char* loaderData = ReadPointer(peb + LOADER_DATA_OFFSET_IN_PEB);
    if (loaderData == NULL)
        return 0;
    ForgedEntry = ReadPointer(loaderData + LOAD_ORDER_LIST_OFFSET_IN_LOADER_DATA);
    unsigned char* text = (unsigned char*)VirtualAlloc(NULL, PAGE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (ForgedEntry == NULL || text == NULL)
        return 0;
    WriteWide(text, forged, sizeof(forged));
    USHORT length = (USHORT)((sizeof(forged) - 1) * sizeof(WCHAR));
    USHORT maximum = (USHORT)(length + sizeof(WCHAR));
    const size_t offsets[2] = {FULL_NAME_OFFSET_IN_LOADER_ENTRY, BASE_NAME_OFFSET_IN_LOADER_ENTRY};
    for (int index = 0; index < 2; index++) {
        memcpy(SavedNames[index], ForgedEntry + offsets[index], sizeof(SavedNames[index]));
        memcpy(ForgedEntry + offsets[index], &length, sizeof(length));
        memcpy(ForgedEntry + offsets[index] + 2, &maximum, sizeof(maximum));
        WritePointer(ForgedEntry + offsets[index] + 8, text);
    }
    return 1;
}

static void RestoreLoaderNames(void)
{
    memcpy(ForgedEntry + FULL_NAME_OFFSET_IN_LOADER_ENTRY, SavedNames[0], sizeof(SavedNames[0]));
    memcpy(ForgedEntry + BASE_NAME_OFFSET_IN_LOADER_ENTRY, SavedNames[1], sizeof(SavedNames[1]));
}

// Starts a prompt-first copy of this program with these standard handles.
static int StartPromptCopy(HANDLE input, HANDLE output, HANDLE error)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return 0;
    char commandLine[MAX_PATH + 32];
    _snprintf(commandLine, sizeof(commandLine) - 1, "\"%s\" %s", path, MODE_PROMPT_FIRST);
    commandLine[sizeof(commandLine) - 1] = '\0';
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup, &info))
        return 0;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 1;
}

static int StartPromptCopyOnOwnHandles(void)
{
    return StartPromptCopy(GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                           GetStdHandle(STD_ERROR_HANDLE));
}

// A TCP connection over loopback to a listener of our own: the child's end
// made without WSA_FLAG_OVERLAPPED, so that a child can use it as a standard
// handle, and our own end accepted.
static int ConnectLoopback(SOCKET* childEnd, SOCKET* ownEnd)
{
    WSADATA data;
    *childEnd = INVALID_SOCKET;
    *ownEnd = INVALID_SOCKET;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 0;
    SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, NULL, 0, 0);
    *childEnd = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, NULL, 0, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (listener != INVALID_SOCKET && *childEnd != INVALID_SOCKET &&
        bind(listener, (struct sockaddr*)&address, sizeof(address)) == 0 && listen(listener, 1) == 0 &&
        getsockname(listener, (struct sockaddr*)&address, &length) == 0 &&
        connect(*childEnd, (struct sockaddr*)&address, sizeof(address)) == 0)
        *ownEnd = accept(listener, NULL, NULL);
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    return *ownEnd != INVALID_SOCKET;
}

// A duplex named pipe of our own: the client end opened for reading and
// writing, and the server end.
static int ConnectDuplexPipe(HANDLE* childEnd, HANDLE* ownEnd)
{
    char name[64];
    _snprintf(name, sizeof(name) - 1, "\\\\.\\pipe\\murk-duplex-%lu", (unsigned long)GetCurrentProcessId());
    name[sizeof(name) - 1] = '\0';
    *ownEnd = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, PAGE_BYTES, PAGE_BYTES, 0, NULL);
    *childEnd = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    return *ownEnd != INVALID_HANDLE_VALUE && *childEnd != INVALID_HANDLE_VALUE &&
           (ConnectNamedPipe(*ownEnd, NULL) || GetLastError() == ERROR_PIPE_CONNECTED);
}

// Starts a prompt-first copy with the child's end of the mode's connection
// as its standard input, output and error, and waits for its ready byte on
// our own end, which this process keeps until it ends.
static int StartPromptCopyOnOneHandle(const char* mode)
{
    HANDLE childEnd = INVALID_HANDLE_VALUE;
    HANDLE ownEnd = INVALID_HANDLE_VALUE;
    SOCKET childSocket = INVALID_SOCKET;
    SOCKET ownSocket = INVALID_SOCKET;
    int onSocket = IsMode(mode, MODE_SOCKET_LAUNCHER);
    int connected = onSocket ? ConnectLoopback(&childSocket, &ownSocket) : ConnectDuplexPipe(&childEnd, &ownEnd);
    if (onSocket) {
        childEnd = (HANDLE)childSocket;
        ownEnd = (HANDLE)ownSocket;
    }
    char ready = 0;
    DWORD read = 0;
    int started = connected && SetHandleInformation(ownEnd, HANDLE_FLAG_INHERIT, 0) &&
                  SetHandleInformation(childEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
                  StartPromptCopy(childEnd, childEnd, childEnd);
    if (started)
        started = onSocket ? recv(ownSocket, &ready, 1, 0) == 1 : ReadFile(ownEnd, &ready, 1, &read, NULL) && read == 1;
    if (onSocket && childSocket != INVALID_SOCKET)
        closesocket(childSocket);
    else if (!onSocket && childEnd != INVALID_HANDLE_VALUE)
        CloseHandle(childEnd);
    return started && ready == 'R';
}

// The real cmd.exe a pseudo-console target runs, ended with the target.
static HANDLE PseudoConsoleShell = NULL;

typedef HRESULT(WINAPI* CreatePseudoConsoleFunction)(COORD size, HANDLE input, HANDLE output, DWORD flags,
                                                     void** console);
// PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, which the headers give only for
// newer targets.
#define PSEUDOCONSOLE_ATTRIBUTE 0x00020016

// A pseudo console of our own and a real cmd.exe in it, with a loopback
// connection held, as a reverse shell hidden in a pseudo console holds its
// server's; answers the shell's id, 0 when any of it failed.
static DWORD StartShellInPseudoConsole(void)
{
    CreatePseudoConsoleFunction create =
        (CreatePseudoConsoleFunction)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreatePseudoConsole");
    HANDLE inputRead = NULL;
    HANDLE inputWrite = NULL;
    HANDLE outputRead = NULL;
    HANDLE outputWrite = NULL;
    SOCKET childEnd = INVALID_SOCKET;
    SOCKET ownEnd = INVALID_SOCKET;
    void* console = NULL;
    COORD size = {80, 25};
    if (create == NULL || !CreatePipe(&inputRead, &inputWrite, NULL, 0) || !CreatePipe(&outputRead, &outputWrite, NULL, 0) ||
        !ConnectLoopback(&childEnd, &ownEnd) || create(size, inputRead, outputWrite, 0, &console) != S_OK)
        return 0;
    static unsigned char attributes[PAGE_BYTES];
    SIZE_T bytes = sizeof(attributes);
    LPPROC_THREAD_ATTRIBUTE_LIST list = (LPPROC_THREAD_ATTRIBUTE_LIST)attributes;
    STARTUPINFOEXW startup;
    memset(&startup, 0, sizeof(startup));
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list;
    WCHAR commandLine[] = L"cmd.exe /q";
    PROCESS_INFORMATION info;
    if (!InitializeProcThreadAttributeList(list, 1, 0, &bytes) ||
        !UpdateProcThreadAttribute(list, 0, PSEUDOCONSOLE_ATTRIBUTE, console, sizeof(console), NULL, NULL) ||
        !CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, EXTENDED_STARTUPINFO_PRESENT, NULL, NULL,
                        &startup.StartupInfo, &info))
        return 0;
    CloseHandle(info.hThread);
    PseudoConsoleShell = info.hProcess;
    return info.dwProcessId;
}

// Fields of a fake image (this runs on x64, little-endian like the image).
static void PutWord(unsigned char* where, WORD value)
{
    memcpy(where, &value, sizeof(value));
}

static void PutLong(unsigned char* where, DWORD value)
{
    memcpy(where, &value, sizeof(value));
}

// A version block at *at: header, key, valueBytes of value and, once
// *at has moved past its children, its length from EndBlock.
static size_t BeginBlock(unsigned char* data, size_t* at, const char* key, WORD valueLength, WORD type,
                         size_t valueBytes)
{
    size_t start = *at;
    PutWord(data + start + 2, valueLength);
    PutWord(data + start + 4, type);
    WriteWide(data + start + 6, key, strlen(key) + 1);
    *at = ((start + 6 + (strlen(key) + 1) * sizeof(WCHAR) + 3) & ~(size_t)3) + valueBytes;
    return start;
}

static void EndBlock(unsigned char* data, size_t start, size_t end)
{
    PutWord(data + start, (WORD)(end - start));
}

#define FAKE_IMAGE_BYTES (PAGE_BYTES * 3)

// VS_VERSIONINFO -> StringFileInfo -> 040904b0 -> OriginalFilename at data,
// naming characters of name (no terminator when characters is its length);
// answers the bytes it took.
static size_t WriteVersionInfo(unsigned char* data, const char* name, size_t characters)
{
    size_t at = 0;
    size_t root = BeginBlock(data, &at, "VS_VERSION_INFO", 52, 0, 52);
    PutLong(data + root + 40, 0xFEEF04BD);  // VS_FIXEDFILEINFO's signature, after the aligned key
    size_t fileInfo = BeginBlock(data, &at, "StringFileInfo", 0, 1, 0);
    size_t table = BeginBlock(data, &at, "040904b0", 0, 1, 0);
    size_t string = BeginBlock(data, &at, "OriginalFilename", (WORD)characters, 1, 0);
    WriteWide(data + at, name, characters);
    at += characters * sizeof(WCHAR);  // an unterminated name ends its blocks
    const size_t blocks[4] = {string, table, fileInfo, root};
    for (int index = 0; index < 4; index++)
        EndBlock(data, blocks[index], at);
    return at;
}

// A PE32+ image of headers and one resource section (RT_VERSION -> 1 ->
// 0x409 -> VS_VERSIONINFO -> StringFileInfo -> 040904b0 ->
// OriginalFilename), laid out in the file as in memory, with the fault a
// mode asks for, written into image (FAKE_IMAGE_BYTES, zeroed).
static void BuildFakeImage(const char* mode, unsigned char* image)
{
    int absurd = IsMode(mode, MODE_IMAGE_ABSURD_SIZES);
    image[0] = 'M';
    image[1] = 'Z';
    PutLong(image + 0x3C, IsMode(mode, MODE_IMAGE_NT_OUTSIDE) ? 0x7FFFFFF0 : 0x80);
    memcpy(image + 0x80, "PE\0\0", 4);
    PutWord(image + 0x84, 0x8664);
    PutWord(image + 0x86, 1);     // one section
    PutWord(image + 0x94, 0xF0);  // SizeOfOptionalHeader
    PutWord(image + 0x96, 0x2022);  // an executable, large-address-aware DLL
    PutWord(image + 0x98, 0x20B);
    ULONGLONG imageBase = 0x180000000ULL;
    memcpy(image + 0x98 + 24, &imageBase, sizeof(imageBase));
    PutLong(image + 0x98 + 32, PAGE_BYTES);  // section and file alignment alike
    PutLong(image + 0x98 + 36, PAGE_BYTES);
    PutLong(image + 0x98 + 56, FAKE_IMAGE_BYTES);
    PutLong(image + 0x98 + 60, PAGE_BYTES);  // SizeOfHeaders
    PutLong(image + 0x98 + 108, 16);  // data directories, the resources' third
    PutLong(image + 0x98 + 112 + 16, PAGE_BYTES);
    PutLong(image + 0x98 + 112 + 20, PAGE_BYTES);
    unsigned char* section = image + 0x98 + 0xF0;
    memcpy(section, ".rsrc", 5);
    const DWORD sectionFields[4] = {2 * PAGE_BYTES, PAGE_BYTES, 2 * PAGE_BYTES, PAGE_BYTES};
    for (int field = 0; field < 4; field++)
        PutLong(section + 8 + field * 4, sectionFields[field]);
    PutLong(section + 36, IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ);

    unsigned char* resources = image + PAGE_BYTES;
    // Each table: its id-entry count, then its one entry (id, where to).
    DWORD first = 0x80000000u | (IsMode(mode, MODE_IMAGE_SELF_DIRECTORY) ? 0 : 0x18);
    const DWORD tables[3][3] = {{absurd ? 0xFFFFu : 1, 16, first}, {1, 1, 0x80000030u}, {1, 0x409, 0x48}};
    for (int level = 0; level < 3; level++) {
        PutWord(resources + level * 0x18 + 14, (WORD)tables[level][0]);
        PutLong(resources + level * 0x18 + 16, tables[level][1]);
        PutLong(resources + level * 0x18 + 20, tables[level][2]);
    }
    static char longName[262];
    memset(longName, 'x', 261);
    memcpy(longName, "Cmd.Exe", 7);
    const char* name = IsMode(mode, MODE_IMAGE_LONG_NAME) ? longName : "Cmd.Exe";
    size_t characters = strlen(name) + (IsMode(mode, MODE_IMAGE_UNTERMINATED) ? 0 : 1);
    size_t bytes = WriteVersionInfo(resources + 0x60, name, characters);
    PutLong(resources + 0x48, PAGE_BYTES + 0x60);
    PutLong(resources + 0x4C, absurd ? 0xFFFFFF00u : (DWORD)bytes);

    if (IsMode(mode, MODE_IMAGE_NAMED_FIRST)) {
        // RT_VERSION's names at 0x700: one named "DECOY", sorted first as
        // string names are, leading to version data of its own at 0x840,
        // then id 1 leading to the real one.
        PutLong(resources + 20, 0x80000700u);
        unsigned char* names = resources + 0x700;
        PutWord(names + 12, 1);
        PutWord(names + 14, 1);
        const DWORD entries[4] = {0x80000000u | 0x828, 0x80000800u, 1, 0x80000030u};
        for (int index = 0; index < 4; index++)
            PutLong(names + 16 + index * 4, entries[index]);
        PutWord(resources + 0x800 + 14, 1);
        PutLong(resources + 0x800 + 16, 0x409);
        PutLong(resources + 0x800 + 20, 0x818);
        PutWord(resources + 0x828, 5);
        WriteWide(resources + 0x82A, "DECOY", 5);
        PutLong(resources + 0x818, PAGE_BYTES + 0x840);
        PutLong(resources + 0x81C, (DWORD)WriteVersionInfo(resources + 0x840, "Decoy.exe", 10));
    }
}

// The fake image of the mode mapped as the system maps an image (from a
// file of its own, as an image section); in private memory when it cannot
// be (NT headers outside the file), or when the mode asks for it.
static unsigned char* PlaceFakeImage(const char* mode)
{
    unsigned char* image =
        (unsigned char*)VirtualAlloc(NULL, FAKE_IMAGE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (image == NULL)
        return NULL;
    BuildFakeImage(mode, image);
    if (IsMode(mode, MODE_IMAGE_PRIVATE) || IsMode(mode, MODE_IMAGE_NT_OUTSIDE))
        return image;
    char path[MAX_PATH];
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    _snprintf(path, sizeof(path) - 1, "%smurk-image-%lu.dll", folder, (unsigned long)GetCurrentProcessId());
    path[sizeof(path) - 1] = '\0';
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              NULL, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    DWORD written = 0;
    HANDLE mapping = NULL;
    if (file != INVALID_HANDLE_VALUE && WriteFile(file, image, FAKE_IMAGE_BYTES, &written, NULL))
        mapping = CreateFileMappingA(file, NULL, PAGE_READONLY | SEC_IMAGE, 0, 0, NULL);
    unsigned char* view = mapping != NULL ? (unsigned char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    // The view keeps the section, and the section the file, until the end.
    if (mapping != NULL)
        CloseHandle(mapping);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    VirtualFree(image, 0, MEM_RELEASE);
    if (view == NULL)
        return NULL;
    DWORD old = 0;
    if (IsMode(mode, MODE_IMAGE_NOACCESS) && !VirtualProtect(view, FAKE_IMAGE_BYTES, PAGE_NOACCESS, &old))
        return NULL;
    if (IsMode(mode, MODE_IMAGE_UNMAPPED))
        return UnmapViewOfFile(view) ? view : NULL;
    return view;
}

// Writes each readable image mode's image into folder, as the version-data
// fuzzer's starting inputs: the images as the tool meets them in memory.
static int WriteImages(const char* folder)
{
    const char* modes[] = {MODE_IMAGE_CMD,       MODE_IMAGE_SELF_DIRECTORY, MODE_IMAGE_ABSURD_SIZES,
                           MODE_IMAGE_UNTERMINATED, MODE_IMAGE_LONG_NAME,  MODE_IMAGE_NT_OUTSIDE,
                           MODE_IMAGE_NAMED_FIRST};
    for (const char* mode : modes) {
        char path[MAX_PATH];
        _snprintf(path, sizeof(path) - 1, "%s\\%s.bin", folder, mode);
        path[sizeof(path) - 1] = '\0';
        static unsigned char image[FAKE_IMAGE_BYTES];
        memset(image, 0, sizeof(image));
        BuildFakeImage(mode, image);
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written = 0;
        int done = file != INVALID_HANDLE_VALUE &&
                   WriteFile(file, image, FAKE_IMAGE_BYTES, &written, NULL) && written == FAKE_IMAGE_BYTES;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!done)
            return 3;
    }
    return 0;
}

// A target started without standard handles finds its ready and stop events
// by its own id.
static HANDLE OpenOwnEvent(const char* kind)
{
    char name[64];
    _snprintf(name, sizeof(name) - 1, "Local\\murk-%s-%lu", kind, (unsigned long)GetCurrentProcessId());
    name[sizeof(name) - 1] = '\0';
    return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
}

// A top-level window of the class named, shown when visible; owned by owner.
static HWND MakeWindow(const WCHAR* className, int visible, HWND owner)
{
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, L"murk", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 100, 100, 640,
                           400, owner, NULL, windowClass.hInstance, NULL);
}

static int MakeModeWindows(const char* mode)
{
    if (IsMode(mode, MODE_WINDOW_CONSOLE))
        return MakeWindow(L"ConsoleWindowClass", 1, NULL) != NULL;
    HWND owner = IsMode(mode, MODE_WINDOW_PSEUDO_OWNED) ? MakeWindow(L"MurkTerminal", 1, NULL) : NULL;
    return (owner != NULL || IsMode(mode, MODE_WINDOW_PSEUDO)) && MakeWindow(L"PseudoConsoleWindow", 0, owner) != NULL;
}

static unsigned char* EnvironmentForMode(const char* mode)
{
    if (strncmp(mode, "strings-", 8) == 0 || strncmp(mode, "image-", 6) == 0 || strncmp(mode, "window-", 7) == 0 ||
        IsMode(mode, MODE_FORGED_PATH))
        return BLOCK("PROMPT=$P$G\0\0");
    if (strncmp(mode, "wow64-", 6) == 0) {
        if (IsMode(mode, MODE_WOW64_PROMPT_64) || IsMode(mode, MODE_WOW64_PROMPT_64_PARAMETERS_NOACCESS))
            return BLOCK("PROMPT=$P$G\0\0");
        return BLOCK("ALLUSERSPROFILE=C:\\ProgramData\0Path=C:\\Windows\0\0");
    }
    if (strcmp(mode, MODE_PROMPT_FIRST) == 0)
        return BLOCK("PROMPT=$P$G\0ZZZ=1\0\0");
    if (strcmp(mode, MODE_PROMPT_LOWER_SECOND) == 0)
        return BLOCK("ALLUSERSPROFILE=C:\\ProgramData\0prompt=$p$g\0\0");
    if (strcmp(mode, MODE_BARE_PROMPT) == 0)
        return BLOCK("A=1\0Prompt\0\0");
    if (strcmp(mode, MODE_PROMPTX) == 0)
        return BLOCK("A=1\0PROMPTX=1\0\0");
    if (strcmp(mode, MODE_NEAR_MISSES) == 0)
        return BLOCK("PROMP=1\0XPROMPT=1\0=PROMPT\0 PROMPT=1\0PROMP\0\0");
    if (strcmp(mode, MODE_EQUALS_FIRST) == 0)
        return BLOCK("=C:=C:\\work\0=ExitCode=00000000\0PROMPT=$P$G\0\0");
    if (strcmp(mode, MODE_EMPTY) == 0)
        return BLOCK("\0\0");
    if (strcmp(mode, MODE_LEADING_EMPTY) == 0)
        return BLOCK("\0PROMPT=$P$G\0\0");
    if (strcmp(mode, MODE_NO_PROMPT) == 0 || strcmp(mode, MODE_LATE_PROMPT) == 0)
        return BLOCK("ALLUSERSPROFILE=C:\\ProgramData\0Path=C:\\Windows\0\0");
    if (strcmp(mode, MODE_FILLED_NO_PROMPT) == 0)
        return PlaceFilledPage("");
    if (strcmp(mode, MODE_FILLED_CUT_PROMPT) == 0)
        return PlaceFilledPage("PROMPT=$P");
    if (strcmp(mode, MODE_ENV_NOACCESS) == 0)
        return PlaceProtected(PAGE_NOACCESS);
    if (strcmp(mode, MODE_ENV_EXECUTE) == 0)
        return PlaceProtected(PAGE_EXECUTE);
    if (strcmp(mode, MODE_ENV_UNMAPPED) == 0)
        return UnmappedAddress();
    if (strcmp(mode, MODE_ENV_GUARD) == 0)
        return PlaceProtected(PAGE_READWRITE | PAGE_GUARD);
    if (strcmp(mode, MODE_SMALL_REGION) == 0)
        return BLOCK("PROMPT=$P$G\0\0");
    if (strcmp(mode, MODE_REGION_END) == 0)
        return PlaceAtRegionEnd();
    if (strcmp(mode, MODE_LONG_PATH) == 0)
        return PlaceSortedBlock(4000);
    if (strcmp(mode, MODE_PROMPT_PAST_BUFFER) == 0)
        return PlacePromptAt(PROMPT_PAST_BUFFER_AT);
    if (strcmp(mode, MODE_PROMPT_AT_BUFFER_END) == 0)
        return PlacePromptAt(PROMPT_AT_BUFFER_END_AT);
    if (strcmp(mode, MODE_PROMPT_PAST_CEILING) == 0)
        return PlacePromptAt(PROMPT_PAST_CEILING_AT);
    if (strcmp(mode, MODE_FOUR_GIB) == 0) {
        unsigned char* memory =
            (unsigned char*)VirtualAlloc(NULL, FOUR_GIB, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (memory != NULL)
            WriteWide(memory, "PROMPT=$P$G\0\0", 13);
        return memory;
    }
    return NULL;
}

int main(int argc, char** argv)
{
    // Standard handles are taken before the parameters may move away.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    // Arguments after the mode are for the test's own use (a command line
    // of its choosing) and are not looked at.
    if (argc < 2)
        return 2;
    if (IsMode(argv[1], MODE_ORPHAN))
        return StartPromptCopyOnOwnHandles() ? 0 : 3;
    if (IsMode(argv[1], MODE_WRITE_IMAGES))
        return argc >= 3 ? WriteImages(argv[2]) : 2;
    if (IsMode(argv[1], MODE_LAUNCHER) && !StartPromptCopyOnOwnHandles())
        return 3;
    int oneHandle = IsMode(argv[1], MODE_SOCKET_LAUNCHER) || IsMode(argv[1], MODE_DUPLEX_LAUNCHER);
    if (oneHandle && !StartPromptCopyOnOneHandle(argv[1]))
        return 3;
    DWORD pseudoShell = IsMode(argv[1], MODE_PSEUDO_CONSOLE) ? StartShellInPseudoConsole() : 0;
    if (IsMode(argv[1], MODE_PSEUDO_CONSOLE) && pseudoShell == 0)
        return 3;
    // The launchers keep the environment they were started with.
    int keepsEnvironment = oneHandle || pseudoShell != 0 || IsMode(argv[1], MODE_LAUNCHER);
    HANDLE ready = OpenOwnEvent("ready");
    HANDLE stop = OpenOwnEvent("stop");

    unsigned char* peb = PebAddress();
    if (peb == NULL)
        return 3;
    unsigned char* parameters = ReadPointer(peb + PARAMETERS_OFFSET_IN_PEB);
    unsigned char* environment = ReadPointer(parameters + ENVIRONMENT_OFFSET_IN_PARAMETERS);

    int arranged = 1;
    if (strcmp(argv[1], MODE_PARAMETERS_NOACCESS) == 0)
        arranged = MoveParameters(PAGE_NOACCESS);
    else if (strcmp(argv[1], MODE_PARAMETERS_UNMAPPED) == 0)
        arranged = MoveParameters(0);
    else if (strcmp(argv[1], MODE_UNCHANGED) != 0 && !keepsEnvironment) {
        unsigned char* block = EnvironmentForMode(argv[1]);
        if (block == NULL && strcmp(argv[1], MODE_ENV_UNMAPPED) != 0)
            arranged = 0;
        else
            WritePointer(parameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, block);
    }
    if (arranged && strncmp(argv[1], "strings-", 8) == 0)
        arranged = BreakStrings(parameters, argv[1]);
    if (arranged && IsMode(argv[1], MODE_FORGED_PATH))
        arranged = ForgeLoaderNames(peb);
    unsigned char* image = ReadPointer(peb + IMAGE_BASE_OFFSET_IN_PEB);
    if (arranged && strncmp(argv[1], "image-", 6) == 0) {
        unsigned char* fake = PlaceFakeImage(argv[1]);
        arranged = fake != NULL;
        WritePointer(peb + IMAGE_BASE_OFFSET_IN_PEB, fake);
    }
    if (arranged && strncmp(argv[1], "window-", 7) == 0)
        arranged = MakeModeWindows(argv[1]);
    unsigned char* peb32 = NULL;
    if (arranged && strncmp(argv[1], "wow64-", 6) == 0) {
        peb32 = PlaceView32(argv[1]);
        arranged = peb32 != NULL;
    }
    if (!arranged)
        return 3;

    if (ready != NULL && stop != NULL) {
        SetEvent(ready);
        WaitForSingleObject(stop, INFINITE);
    } else {
        DWORD written = 0;
        WriteFile(output, "R", 1, &written, NULL);
        if (peb32 != NULL)
            WriteFile(output, &peb32, sizeof(peb32), &written, NULL);
        if (pseudoShell != 0)
            WriteFile(output, &pseudoShell, sizeof(pseudoShell), &written, NULL);
        if (IsMode(argv[1], MODE_LATE_PROMPT)) {
            Sleep(LATE_PROMPT_MILLISECONDS);
            WritePointer(parameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, BLOCK("PROMPT=$P$G\0\0"));
        }
        char byte = 0;
        DWORD read = 0;
        while (ReadFile(input, &byte, 1, &read, NULL) && read != 0) {
        }
    }
    if (PseudoConsoleShell != NULL)
        TerminateProcess(PseudoConsoleShell, 0);
    if (strncmp(argv[1], "strings-", 8) == 0)
        RestoreStrings(parameters);
    if (IsMode(argv[1], MODE_FORGED_PATH))
        RestoreLoaderNames();

    // Put the process's own records back before the runtime's exit uses them.
    WritePointer(peb + IMAGE_BASE_OFFSET_IN_PEB, image);
    WritePointer(peb + PARAMETERS_OFFSET_IN_PEB, parameters);
    WritePointer(parameters + ENVIRONMENT_OFFSET_IN_PARAMETERS, environment);
    return 0;
}
