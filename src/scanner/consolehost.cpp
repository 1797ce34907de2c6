// Finds a shell's console host from the system's answer or the process list,
// reads the host's command line through a handle of its own, and names the
// mode it was started in. The command line comes from another process's
// memory: it is read within its length and split by index only.
#include "consolehost.h"

#include <string.h>

#include "environment.h"
#include "family.h"
#include "text.h"

// The programs that make pseudo consoles as their work; a new one is a line.
static const char* const TERMINAL_HOSTS[] = {
    "WindowsTerminal.exe", "OpenConsole.exe", "sshd.exe",      "sshd-session.exe", "Code.exe",
    "Code - Insiders.exe", "ConEmuC64.exe",   "ConEmu64.exe",  "wezterm-gui.exe",  "alacritty.exe",
    "mintty.exe",          "Tabby.exe",       "Hyper.exe",
};

// The host's options that take a value: the value is no command to run.
static const char* const VALUE_OPTIONS[] = {"--width", "--height", "--signal", "--server", "--vtmode", "--feature"};

int IsKnownTerminalHost(const WCHAR* name, size_t chars)
{
    for (size_t index = 0; index < sizeof(TERMINAL_HOSTS) / sizeof(TERMINAL_HOSTS[0]); index++)
        if (IsSameAsciiName(name, chars, TERMINAL_HOSTS[index]))
            return 1;
    return 0;
}

DWORD QueryConsoleHostProcess(HANDLE process)
{
    ULONG_PTR answer = 0;
    DWORD returned = 0;
    if (QueryProcessInformation(process, PROCESS_CONSOLE_HOST_PROCESS, &answer, sizeof(answer), &returned) != 0)
        return 0;
    return (DWORD)(answer & ~(ULONG_PTR)CONSOLE_HOST_ID_FLAGS);
}

// The next token of text from *at, as the command line's parser splits it:
// spaces and tabs part tokens, double quotes group and are left out of it;
// *start and *length give its first character and count inside text, the
// quotes included. 0 at the end.
static int NextToken(const WCHAR* text, size_t chars, size_t* at, size_t* start, size_t* length)
{
    while (*at < chars && (text[*at] == ' ' || text[*at] == '\t'))
        (*at)++;
    if (*at >= chars)
        return 0;
    *start = *at;
    int quoted = 0;
    while (*at < chars && (quoted || (text[*at] != ' ' && text[*at] != '\t'))) {
        if (text[*at] == '"')
            quoted = !quoted;
        (*at)++;
    }
    *length = *at - *start;
    return 1;
}

static int IsValueOption(const WCHAR* token, size_t length)
{
    for (size_t index = 0; index < sizeof(VALUE_OPTIONS) / sizeof(VALUE_OPTIONS[0]); index++)
        if (IsSameAsciiName(token, length, VALUE_OPTIONS[index]))
            return 1;
    return 0;
}

const char* NameConsoleHostMode(const WCHAR* commandLine, size_t chars)
{
    size_t at = 0;
    size_t start = 0;
    size_t length = 0;
    int embedding = 0;
    int headless = 0;
    int signal = 0;
    int server = 0;
    int command = 0;
    int valueNext = 0;    // the token before takes this one as its value
    int optionsOver = 0;  // past "--": the rest is the command
    // The program's own path comes first and says nothing of the mode.
    if (!NextToken(commandLine, chars, &at, &start, &length))
        return "other";
    while (NextToken(commandLine, chars, &at, &start, &length)) {
        const WCHAR* token = commandLine + start;
        int option = !optionsOver && token[0] == '-';
        if (valueNext || (option && IsSameAsciiName(token, length, "--"))) {
            optionsOver = optionsOver || !valueNext;
            valueNext = 0;
            continue;
        }
        if (!option) {
            command = 1;
            continue;
        }
        embedding |= IsSameAsciiName(token, length, "-Embedding");
        headless |= IsSameAsciiName(token, length, "--headless");
        signal |= IsSameAsciiName(token, length, "--signal");
        server |= IsSameAsciiName(token, length, "--server");
        valueNext = IsValueOption(token, length);
    }
    if (embedding)
        return "handoff";
    if (!headless)
        return "classic";
    if (signal)
        return "pseudo-console";
    if (command && !server)
        return "headless-launcher";
    return "other";
}

// Reads a candidate host's command line, through a handle that must still
// belong to the process the list names; 1 when it was read.
static int ReadHostCommandLine(const LISTED_PROCESS* host, REMOTE_TEXT* text)
{
    text->found = 0;
    HANDLE process = OpenProcess(CONSOLE_HOST_ACCESS, FALSE, host->processId);
    if (process == NULL)
        return 0;
    int read = IsHandleOfListedProcess(process, host) && ReadProcessCommandLine(process, text);
    CloseHandle(process);
    return read;
}

// A host found by its name and place, not by the system: it must have been
// started --headless, as a pseudo console's or a launcher's host is.
static int IsHeadlessHost(const LISTED_PROCESS* candidate, REMOTE_TEXT* text)
{
    if (!IsConsoleHostName(candidate->name, candidate->nameChars) || !ReadHostCommandLine(candidate, text))
        return 0;
    const char* mode = NameConsoleHostMode(text->text, text->chars);
    return strcmp(mode, "classic") != 0 && strcmp(mode, "handoff") != 0;
}

// The first sibling of shell (same parent, created no later than it) that is
// a host started --headless, among the first CONSOLE_HOST_SIBLINGS_READ.
static int FindHeadlessSibling(const PROCESS_LIST* list, const LISTED_PROCESS* shell, SHELL_CONSOLE_HOST* found)
{
    DWORD position = 0;
    int read = 0;
    while (read < CONSOLE_HOST_SIBLINGS_READ && NextListedProcess(list, &position, &found->host)) {
        const LISTED_PROCESS* sibling = &found->host;
        if (sibling->parentProcessId != shell->parentProcessId || sibling->processId == shell->processId ||
            sibling->created == 0 || shell->created == 0 || sibling->created > shell->created ||
            !IsConsoleHostName(sibling->name, sibling->nameChars))
            continue;
        read++;
        if (IsHeadlessHost(sibling, &found->commandLine))
            return 1;
    }
    return 0;
}

void FindConsoleHost(const PROCESS_LIST* list, const LISTED_PROCESS* shell, DWORD queried,
                     SHELL_CONSOLE_HOST* found)
{
    found->found = 0;
    found->foundOwner = 0;
    found->mode = "other";
    found->commandLine.found = 0;
    LISTED_PROCESS* host = &found->host;
    int known = queried != 0 && FindListedProcess(list, queried, host);
    if (known || FindConsoleHostChild(list, shell, host))
        ReadHostCommandLine(host, &found->commandLine);
    // A host that is the shell's parent must be older than the shell.
    else if (!(FindListedProcess(list, shell->parentProcessId, host) && host->created != 0 && shell->created != 0 &&
               host->created <= shell->created && IsHeadlessHost(host, &found->commandLine)) &&
             !FindHeadlessSibling(list, shell, found))
        return;
    found->found = 1;
    if (found->commandLine.found)
        found->mode = NameConsoleHostMode(found->commandLine.text, found->commandLine.chars);
    // A pseudo console is made by the host's parent, which runs when it is
    // in the list and no younger than the host.
    if (strcmp(found->mode, "pseudo-console") == 0 && FindListedProcess(list, host->parentProcessId, &found->owner) &&
        found->owner.created != 0 && host->created != 0 && found->owner.created <= host->created)
        found->foundOwner = 1;
}
