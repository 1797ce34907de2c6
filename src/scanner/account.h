// The owner of a process: its token's user SID, and the account that SID
// names. Looking an account up can wait seconds for a domain controller that
// cannot be reached, as on a host responders have isolated, and a scan
// meets the same few owners in every process: each distinct SID is looked
// up once per run, and what that gave is kept: a name for the run, a
// failure for five minutes, after which the SID is looked up again.
#ifndef MURKSCOPE_ACCOUNT_H
#define MURKSCOPE_ACCOUNT_H

#include <windows.h>

#define ACCOUNT_TEXT_CHARS 260
// A SID as text: "S-1-" and at most 15 sub-authorities of 10 digits.
#define SID_TEXT_CHARS 192
// The distinct SIDs kept: a host runs a few tens of accounts; past this
// many the oldest kept is looked up again when next met.
#define ACCOUNTS_KEPT 128
#define ACCOUNT_RETRY_MILLISECONDS (5u * 60 * 1000)

typedef struct PROCESS_OWNER {
    int foundAccount;
    WCHAR user[ACCOUNT_TEXT_CHARS];
    WCHAR domain[ACCOUNT_TEXT_CHARS];
    int foundSid;
    WCHAR sid[SID_TEXT_CHARS];  // named even when its account is not
} PROCESS_OWNER;

// Reads the owner of the token, open for TOKEN_QUERY: its SID as text and
// its account; 1 when the account was named.
int ReadTokenOwner(HANDLE token, PROCESS_OWNER* owner);

#endif
