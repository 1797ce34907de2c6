// Looks a logon session up in the LSA once per scan. Its answer is a buffer
// the LSA allocates: the fields are copied out, bounded, and the buffer freed
// on the one way out.
#include "logonsession.h"

#include <ntsecapi.h>
#include <stddef.h>
#include <string.h>

#include "systemfunction.h"
#include "text.h"

typedef LONG(NTAPI* LsaGetLogonSessionDataFunction)(PLUID id, PSECURITY_LOGON_SESSION_DATA* data);
typedef LONG(NTAPI* LsaFreeReturnBufferFunction)(PVOID buffer);

ReadLogonSessionFunction ReadLogonSessionEntry = ReadSystemLogonSession;

typedef struct KNOWN_LOGON {
    LUID id;
    LOGON_SESSION session;
} KNOWN_LOGON;

static KNOWN_LOGON Logons[LOGON_SESSIONS_KEPT];
static DWORD LogonCount = 0;
static DWORD NextReplaced = 0;

// SECURITY_LOGON_TYPE's names, by number; NULL where there is none.
static const char* const LOGON_TYPES[] = {NULL,      NULL,           "interactive",       "network",
                                          "batch",   "service",      NULL,                "unlock",
                                          "network-cleartext", "new-credentials", "remote-interactive",
                                          "cached-interactive", "cached-remote-interactive", "cached-unlock"};

const char* NameLogonType(ULONG type)
{
    return type < sizeof(LOGON_TYPES) / sizeof(LOGON_TYPES[0]) ? LOGON_TYPES[type] : NULL;
}

// 1 when the record the LSA filled (data->Size bytes of it) reaches past the
// field that ends at end.
static int HoldsField(const SECURITY_LOGON_SESSION_DATA* data, size_t end)
{
    return data->Size >= end;
}

static int CopyLsaText(const LSA_UNICODE_STRING* text, WCHAR* copy)
{
    copy[0] = 0;
    if (text->Buffer == NULL || text->Length % sizeof(WCHAR) != 0)
        return 0;
    CopyWideText(copy, LOGON_TEXT_CHARS, text->Buffer, text->Length / sizeof(WCHAR));
    return 1;
}

int ReadSystemLogonSession(const LUID* id, LOGON_SESSION* session)
{
    static SYSTEM_FUNCTION get = {"secur32.dll", "LsaGetLogonSessionData", 1, 0, NULL};
    static SYSTEM_FUNCTION release = {"secur32.dll", "LsaFreeReturnBuffer", 1, 0, NULL};
    LsaGetLogonSessionDataFunction query = (LsaGetLogonSessionDataFunction)(void*)FindSystemFunction(&get);
    LsaFreeReturnBufferFunction freeBuffer = (LsaFreeReturnBufferFunction)(void*)FindSystemFunction(&release);
    PSECURITY_LOGON_SESSION_DATA data = NULL;
    LUID asked = *id;
    memset(session, 0, sizeof(*session));
    if (query == NULL || freeBuffer == NULL || query(&asked, &data) != 0 || data == NULL)
        return 0;
    // An older system's record may end before the later fields.
    if (HoldsField(data, offsetof(SECURITY_LOGON_SESSION_DATA, LogonType) + sizeof(data->LogonType))) {
        session->found = 1;
        session->type = data->LogonType;
        session->foundPackage = CopyLsaText(&data->AuthenticationPackage, session->package);
    }
    if (HoldsField(data, offsetof(SECURITY_LOGON_SESSION_DATA, LogonTime) + sizeof(data->LogonTime)))
        session->started = (ULONGLONG)data->LogonTime.QuadPart;
    if (HoldsField(data, offsetof(SECURITY_LOGON_SESSION_DATA, LogonServer) + sizeof(data->LogonServer)))
        session->foundServer = CopyLsaText(&data->LogonServer, session->server);
    freeBuffer(data);
    return session->found;
}

const LOGON_SESSION* LookUpLogonSession(const LUID* id)
{
    for (DWORD index = 0; index < LogonCount; index++)
        if (Logons[index].id.LowPart == id->LowPart && Logons[index].id.HighPart == id->HighPart)
            return &Logons[index].session;
    KNOWN_LOGON* known =
        &Logons[LogonCount < LOGON_SESSIONS_KEPT ? LogonCount++ : NextReplaced++ % LOGON_SESSIONS_KEPT];
    known->id = *id;
    if (ReadLogonSessionEntry == NULL || !ReadLogonSessionEntry(id, &known->session))
        memset(&known->session, 0, sizeof(known->session));
    return &known->session;
}

void ForgetLogonSessions(void)
{
    LogonCount = 0;
    NextReplaced = 0;
}
