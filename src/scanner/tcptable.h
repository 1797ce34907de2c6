// The TCP tables (GetExtendedTcpTable, owner ids, IPv4 and IPv6): read once
// per scan when a shell is found, without opening any process, and the
// connections of a shell and of its running parent taken from them.
#ifndef MURKSCOPE_TCPTABLE_H
#define MURKSCOPE_TCPTABLE_H

#include <windows.h>

#define TCP_FAMILY_IPV4 2   // AF_INET
#define TCP_FAMILY_IPV6 23  // AF_INET6
#define TCP_TABLE_OWNER_PID_ALL_CLASS 5

// Rows of MIB_TCPTABLE_OWNER_PID and MIB_TCP6TABLE_OWNER_PID after their
// 32-bit row count; ports are in network order in their low 16 bits.
#define TCP_TABLE_ROWS_OFFSET 4
#define TCP4_ROW_BYTES 24
#define TCP4_STATE_OFFSET 0
#define TCP4_LOCAL_ADDRESS_OFFSET 4
#define TCP4_LOCAL_PORT_OFFSET 8
#define TCP4_REMOTE_ADDRESS_OFFSET 12
#define TCP4_REMOTE_PORT_OFFSET 16
#define TCP4_OWNER_OFFSET 20
#define TCP6_ROW_BYTES 56
#define TCP6_LOCAL_ADDRESS_OFFSET 0
#define TCP6_LOCAL_SCOPE_OFFSET 16
#define TCP6_LOCAL_PORT_OFFSET 20
#define TCP6_REMOTE_ADDRESS_OFFSET 24
#define TCP6_REMOTE_SCOPE_OFFSET 40
#define TCP6_REMOTE_PORT_OFFSET 44
#define TCP6_STATE_OFFSET 48
#define TCP6_OWNER_OFFSET 52

#define TCP_STATE_LISTEN 2
#define TCP_STATE_SYN_SENT 3
#define TCP_STATE_SYN_RECEIVED 4
#define TCP_STATE_ESTABLISHED 5

// A table grows while the call answers that it is too small, up to this.
#define TCP_TABLE_CEILING_BYTES (32u * 1024 * 1024)
#define TCP_TABLE_FIRST_BYTES (16u * 1024)
// The connections listed for one shell; the rest are only counted as cut.
#define SHELL_CONNECTIONS_MAX 64

// One table is read through this entry, with GetExtendedTcpTable's answer
// (NO_ERROR, ERROR_INSUFFICIENT_BUFFER with the size needed in *size, or
// another error): the system's table unless a test points it at its own rows.
typedef DWORD (*ReadTcpTableFunction)(ULONG family, void* table, DWORD* size);
extern ReadTcpTableFunction ReadTcpTableEntry;

// GetExtendedTcpTable with TCP_TABLE_OWNER_PID_ALL, iphlpapi loaded on the
// first call only: a scan without a shell never loads it.
DWORD ReadSystemTcpTable(ULONG family, void* table, DWORD* size);

typedef struct TCP_TABLES {
    int read;  // at least one table was read
    int familyRead[2];  // IPv4, IPv6: this family's table was read
    const unsigned char* rows[2];
    DWORD rowCount[2];
} TCP_TABLES;

// Reads both tables into the tool's own buffers (allocated once, grown when
// needed); 1 when at least one was read: a family whose read failed has no
// rows, and the other keeps its own. They stay valid until the next read.
int ReadTcpTables(TCP_TABLES* tables);

typedef struct SHELL_CONNECTION {
    int ownedByParent;
    DWORD processId;
    DWORD state;
    int ipv6;
    BYTE localAddress[16];  // an IPv4 address in its first four bytes
    DWORD localScopeId;     // IPv6 only; 0 for none
    WORD localPort;
    BYTE remoteAddress[16];
    DWORD remoteScopeId;
    WORD remotePort;
} SHELL_CONNECTION;

typedef struct SHELL_CONNECTIONS {
    DWORD count;
    int cut;        // more rows than SHELL_CONNECTIONS_MAX
    // Each owner's rows apart, as a parent's sockets are not the shell's:
    // a service host or a web server listens for every shell it starts.
    int peer;             // a row of the shell established or being opened with an address outside loopback
    int listening;        // a row of the shell listening on an address outside loopback
    int parentPeer;       // the same two of the parent's rows
    int parentListening;
    SHELL_CONNECTION rows[SHELL_CONNECTIONS_MAX];
} SHELL_CONNECTIONS;

// The rows owned by the shell, and by its parent when withParent, in table
// order (IPv4 first) of each family that was read; peer and listening look
// at the shell's rows, parentPeer and parentListening at the parent's.
void CollectConnections(const TCP_TABLES* tables, DWORD shellId, int withParent, DWORD parentId,
                        SHELL_CONNECTIONS* connections);

// "listen", "established", ... for a row's state; NULL for an unknown one.
const char* NameTcpState(DWORD state);
// An address as text: dotted IPv4, or IPv6 in RFC 5952's form followed by
// "%scope" when scopeId is not 0 (a link-local address is ambiguous without
// its interface); capacity of at least 57 characters.
void FormatAddress(int ipv6, const BYTE* address, DWORD scopeId, char* text, size_t capacity);

#endif
