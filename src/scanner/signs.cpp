// The signs and the table of parent images behind the parent signs. The
// images are those public detection rules name for each kind of launcher;
// a new one is a line of the table.
#include "signs.h"

#include <string.h>

#include "asciifold.h"

typedef struct PARENT_IMAGE {
    const char* sign;
    const char* image;       // compared without case; '#' stands for any run of digits, none included
    const char* pathHolds;   // when set, the parent's path must also hold this, without case
} PARENT_IMAGE;

// In the order the signs are printed.
static const PARENT_IMAGE PARENT_IMAGES[] = {
    {"parent-web-server", "w3wp.exe", NULL},
    {"parent-web-server", "httpd.exe", NULL},
    {"parent-web-server", "nginx.exe", NULL},
    {"parent-web-server", "php.exe", NULL},
    {"parent-web-server", "php-cgi.exe", NULL},
    {"parent-web-server", "caddy.exe", NULL},
    {"parent-web-server", "tomcat#.exe", NULL},
    {"parent-web-server", "ws_TomcatService.exe", NULL},
    {"parent-web-server", "UMWorkerProcess.exe", NULL},
    {"parent-web-server", "ArcSOC.exe", NULL},
    {"parent-web-server", "java.exe", "tomcat"},
    {"parent-web-server", "javaw.exe", "tomcat"},
    {"parent-office", "winword.exe", NULL},
    {"parent-office", "excel.exe", NULL},
    {"parent-office", "powerpnt.exe", NULL},
    {"parent-office", "outlook.exe", NULL},
    {"parent-office", "msaccess.exe", NULL},
    {"parent-office", "mspub.exe", NULL},
    {"parent-office", "onenote.exe", NULL},
    {"parent-office", "visio.exe", NULL},
    {"parent-office", "eqnedt32.exe", NULL},
    {"parent-office", "wordpad.exe", NULL},
    {"parent-office", "wordview.exe", NULL},
    {"parent-database", "sqlservr.exe", NULL},
    {"parent-wmi", "wmiprvse.exe", NULL},
    {"parent-service", "services.exe", NULL},
    {"parent-service", "svchost.exe", NULL},
    {"parent-remote-management", "wsmprovhost.exe", NULL},
    {"parent-remote-management", "winrshost.exe", NULL},
    {"parent-remote-management", "psexesvc.exe", NULL},
    {"parent-script-host", "wscript.exe", NULL},
    {"parent-script-host", "cscript.exe", NULL},
    {"parent-script-host", "mshta.exe", NULL},
    {"parent-script-host", "rundll32.exe", NULL},
    {"parent-script-host", "regsvr32.exe", NULL},
};

int WasStartedHidden(const SHELL_EVIDENCE* evidence)
{
    return evidence != NULL && evidence->foundWindowFlags && (evidence->windowFlags & STARTF_USESHOWWINDOW) != 0 &&
           evidence->showWindowFlags == SW_HIDE;
}

int HasRedirectedStdio(const SHELL_EVIDENCE* evidence)
{
    return evidence != NULL && evidence->foundWindowFlags && (evidence->windowFlags & STARTF_USESTDHANDLES) != 0;
}

// A redirect made of a pipe pair, a file or console handles gives separate
// handles; one connected socket, or one duplex pipe, fills all three slots.
int HasOneStdioHandle(const SHELL_EVIDENCE* evidence)
{
    return HasRedirectedStdio(evidence) && evidence->standardHandles[0] != 0 &&
           evidence->standardHandles[0] == evidence->standardHandles[1] &&
           evidence->standardHandles[1] == evidence->standardHandles[2];
}

static int IsDigit(WCHAR character)
{
    return character >= '0' && character <= '9';
}

// A whole name against a pattern of the table.
static int MatchesImage(const WCHAR* name, size_t nameChars, const char* pattern)
{
    size_t at = 0;
    for (; *pattern != '\0'; pattern++) {
        if (*pattern == '#') {
            while (at < nameChars && IsDigit(name[at]))
                at++;
            continue;
        }
        if (at >= nameChars || FoldAsciiLetter(name[at]) != FoldAsciiLetter((unsigned char)*pattern))
            return 0;
        at++;
    }
    return at == nameChars;
}

static int PathHolds(const WCHAR* path, const char* part)
{
    if (path == NULL)
        return 0;
    for (const WCHAR* start = path; *start != 0; start++) {
        size_t index = 0;
        while (part[index] != '\0' && start[index] != 0 &&
               FoldAsciiLetter(start[index]) == FoldAsciiLetter((unsigned char)part[index]))
            index++;
        if (part[index] == '\0')
            return 1;
    }
    return 0;
}

const char* NameParentSign(const WCHAR* name, size_t nameChars, const WCHAR* path)
{
    for (size_t index = 0; index < sizeof(PARENT_IMAGES) / sizeof(PARENT_IMAGES[0]); index++) {
        const PARENT_IMAGE* each = &PARENT_IMAGES[index];
        if (MatchesImage(name, nameChars, each->image) &&
            (each->pathHolds == NULL || PathHolds(path, each->pathHolds)))
            return each->sign;
    }
    return NULL;
}

void NameShellSigns(SHELL_REPORT* report)
{
    const SHELL_EVIDENCE* evidence = report->evidence;
    int count = 0;
    if (WasStartedHidden(evidence))
        report->signs[count++] = "started-hidden";
    // What the console window shows now, whatever the start asked for.
    if (report->window != NULL && IsWindowKeptFromView(report->window->state))
        report->signs[count++] = "window-hidden";
    if (report->window != NULL && strcmp(report->window->state, "no-window") == 0)
        report->signs[count++] = "no-window";
    if (HasRedirectedStdio(evidence))
        report->signs[count++] = "redirected-stdio";
    if (HasOneStdioHandle(evidence))
        report->signs[count++] = "stdio-one-handle";
    if (report->parentState == PARENT_GONE)
        report->signs[count++] = "parent-gone";
    if (report->process->session == 0)
        report->signs[count++] = "service-session";
    // Borrowed credentials (runas /netonly, a pass-the-hash start), and a
    // session made over the network (WMI, a remote service, WinRM).
    const LOGON_SESSION* logon = evidence != NULL && evidence->foundLogonId ? evidence->logon : NULL;
    if (logon != NULL && logon->found && logon->type == LOGON_TYPE_NEW_CREDENTIALS)
        report->signs[count++] = "new-credentials";
    if (logon != NULL && logon->found &&
        (logon->type == LOGON_TYPE_NETWORK || logon->type == LOGON_TYPE_NETWORK_CLEARTEXT))
        report->signs[count++] = "network-logon";
    if (report->parent != NULL) {
        const char* sign = NameParentSign(report->parent->name, report->parent->nameChars, report->parentPath);
        if (sign != NULL)
            report->signs[count++] = sign;
    }
    if (report->connections != NULL && report->connections->peer)
        report->signs[count++] = "network-peer";
    if (report->connections != NULL && report->connections->listening)
        report->signs[count++] = "listening";
    if (report->connections != NULL && report->connections->parentPeer)
        report->signs[count++] = "parent-network-peer";
    if (report->connections != NULL && report->connections->parentListening)
        report->signs[count++] = "parent-listening";
    // cmd.exe sets PROMPT as it starts, so one whose whole block holds
    // none has had it removed since; one still starting may not have set it.
    const IMAGE_IDENTITY* identity = report->identity;
    if (identity->interpreter != NULL && strcmp(identity->interpreter, "cmd") == 0 &&
        report->promptAnswer == PROMPT_ABSENT && !report->starting)
        report->signs[count++] = "prompt-removed";
    if (identity->renamed)
        report->signs[count++] = "renamed-interpreter";
    // The engine in a program that is no PowerShell: rundll32, a .NET
    // loader, msbuild, an implant.
    if (identity->interpreter != NULL && strcmp(identity->interpreter, "powershell-host") == 0)
        report->signs[count++] = "hosted-powershell";
    // A pseudo console made by a program that is no terminal: a reverse
    // shell that runs its shell inside one, so that it looks like a tab.
    const SHELL_CONSOLE_HOST* host = report->consoleHost;
    if (host != NULL && host->found && strcmp(host->mode, "pseudo-console") == 0 && host->foundOwner &&
        !IsKnownTerminalHost(host->owner.name, host->owner.nameChars))
        report->signs[count++] = "unusual-pseudo-console";
    if (host != NULL && host->found && strcmp(host->mode, "headless-launcher") == 0)
        report->signs[count++] = "headless-console";
    report->signCount = count;
}
