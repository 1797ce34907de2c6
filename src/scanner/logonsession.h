// How a shell's user got in: the logon session its token belongs to (its
// AuthenticationId), and what the LSA says of that session: its logon type
// (a WMI, service or WinRM shell runs in a network logon, one started with
// borrowed credentials in a new-credentials one), its package, server and
// time. Each session is looked up once per scan.
#ifndef MURKSCOPE_LOGONSESSION_H
#define MURKSCOPE_LOGONSESSION_H

#include <windows.h>

#define LOGON_TEXT_CHARS 256
// The distinct sessions kept of a scan: a host holds a few tens; past this
// many the oldest kept is looked up again when next met.
#define LOGON_SESSIONS_KEPT 64

// SECURITY_LOGON_TYPE's numbers that the signs look at.
#define LOGON_TYPE_NETWORK 3
#define LOGON_TYPE_NETWORK_CLEARTEXT 8
#define LOGON_TYPE_NEW_CREDENTIALS 9

// What the LSA gave for one session.
typedef struct LOGON_SESSION {
    int found;         // the LSA answered
    ULONG type;        // SECURITY_LOGON_TYPE
    int foundPackage;
    WCHAR package[LOGON_TEXT_CHARS];
    int foundServer;
    WCHAR server[LOGON_TEXT_CHARS];
    ULONGLONG started;  // FILETIME units, 0 when not given
} LOGON_SESSION;

// One session is read through this entry: ReadSystemLogonSession unless a
// test points it at its own answers.
typedef int (*ReadLogonSessionFunction)(const LUID* id, LOGON_SESSION* session);
extern ReadLogonSessionFunction ReadLogonSessionEntry;

// LsaGetLogonSessionData, secur32 loaded from System32 at its first use,
// its buffer freed before it returns; 1 when it answered.
int ReadSystemLogonSession(const LUID* id, LOGON_SESSION* session);

// The session's facts, read the first time a scan meets it.
const LOGON_SESSION* LookUpLogonSession(const LUID* id);
// Begins a scan: what earlier scans kept is looked up afresh.
void ForgetLogonSessions(void);

// "interactive", "network", ... for a SECURITY_LOGON_TYPE; NULL for a number
// it has no name for.
const char* NameLogonType(ULONG type);

#endif
