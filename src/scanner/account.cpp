// The token's user and the account lookup, each SID looked up once.
#include "account.h"

#include <sddl.h>
#include <string.h>

#include "text.h"

// TOKEN_USER and the SID it points at.
#define TOKEN_USER_BYTES 1000

typedef struct KNOWN_ACCOUNT {
    DWORD sidBytes;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    int found;
    ULONGLONG lookedUpAt;  // GetTickCount64 of the lookup
    WCHAR user[ACCOUNT_TEXT_CHARS];
    WCHAR domain[ACCOUNT_TEXT_CHARS];
} KNOWN_ACCOUNT;

static KNOWN_ACCOUNT Accounts[ACCOUNTS_KEPT];
static DWORD AccountCount = 0;
static DWORD NextReplaced = 0;

static void LookUpAccount(KNOWN_ACCOUNT* account, PSID sid)
{
    DWORD userChars = ACCOUNT_TEXT_CHARS;
    DWORD domainChars = ACCOUNT_TEXT_CHARS;
    SID_NAME_USE use;
    account->found =
        LookupAccountSidW(NULL, sid, account->user, &userChars, account->domain, &domainChars, &use) ? 1 : 0;
    account->user[account->found ? ACCOUNT_TEXT_CHARS - 1 : 0] = 0;
    account->domain[account->found ? ACCOUNT_TEXT_CHARS - 1 : 0] = 0;
    account->lookedUpAt = GetTickCount64();
}

// The account of a valid SID, looked up the first time it is met, and again
// when a lookup that failed is ACCOUNT_RETRY_MILLISECONDS old: a watch
// started before the domain could be reached names its accounts once it can.
static const KNOWN_ACCOUNT* LookUpAccountOnce(PSID sid)
{
    DWORD sidBytes = GetLengthSid(sid);
    if (sidBytes > SECURITY_MAX_SID_SIZE)
        return NULL;
    for (DWORD index = 0; index < AccountCount; index++) {
        KNOWN_ACCOUNT* known = &Accounts[index];
        if (known->sidBytes != sidBytes || memcmp(known->sid, sid, sidBytes) != 0)
            continue;
        if (!known->found && GetTickCount64() - known->lookedUpAt >= ACCOUNT_RETRY_MILLISECONDS)
            LookUpAccount(known, sid);
        return known;
    }
    KNOWN_ACCOUNT* account = &Accounts[AccountCount < ACCOUNTS_KEPT ? AccountCount++ : NextReplaced++ % ACCOUNTS_KEPT];
    account->sidBytes = sidBytes;
    memcpy(account->sid, sid, sidBytes);
    LookUpAccount(account, sid);
    return account;
}

int ReadTokenOwner(HANDLE token, PROCESS_OWNER* owner)
{
    owner->foundAccount = 0;
    owner->foundSid = 0;
    owner->user[0] = 0;
    owner->domain[0] = 0;
    owner->sid[0] = 0;
    // The record holds a SID pointer: the union aligns the buffer for it.
    union {
        TOKEN_USER user;
        unsigned char bytes[TOKEN_USER_BYTES];
    } information;
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenUser, &information, sizeof(information), &returned) ||
        !IsValidSid(information.user.User.Sid))
        return 0;
    PSID sid = information.user.User.Sid;
    LPWSTR sidText = NULL;
    if (ConvertSidToStringSidW(sid, &sidText)) {
        CopyWideText(owner->sid, SID_TEXT_CHARS, sidText, SID_TEXT_CHARS);
        owner->foundSid = 1;
        LocalFree(sidText);
    }
    const KNOWN_ACCOUNT* account = LookUpAccountOnce(sid);
    if (account == NULL || !account->found)
        return 0;
    CopyWideText(owner->user, ACCOUNT_TEXT_CHARS, account->user, ACCOUNT_TEXT_CHARS);
    CopyWideText(owner->domain, ACCOUNT_TEXT_CHARS, account->domain, ACCOUNT_TEXT_CHARS);
    owner->foundAccount = 1;
    return 1;
}
