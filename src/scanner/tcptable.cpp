// Reads the TCP tables and takes a shell's connections from them. The rows
// come from the system and are read by their documented offsets; a row
// count is never trusted beyond the bytes the call filled.
#include "tcptable.h"

#include <iprtrmib.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "bytefield.h"
#include "growbuffer.h"
#include "systemfunction.h"

// The offsets the rows are read by, against the system's own row types.
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwState) == TCP4_STATE_OFFSET, "IPv4 state");
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwLocalAddr) == TCP4_LOCAL_ADDRESS_OFFSET, "IPv4 local address");
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwLocalPort) == TCP4_LOCAL_PORT_OFFSET, "IPv4 local port");
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwRemoteAddr) == TCP4_REMOTE_ADDRESS_OFFSET, "IPv4 remote address");
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwRemotePort) == TCP4_REMOTE_PORT_OFFSET, "IPv4 remote port");
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwOwningPid) == TCP4_OWNER_OFFSET, "IPv4 owner");
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == TCP4_ROW_BYTES, "IPv4 row");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, ucLocalAddr) == TCP6_LOCAL_ADDRESS_OFFSET, "IPv6 local address");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwLocalScopeId) == TCP6_LOCAL_SCOPE_OFFSET, "IPv6 local scope");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwLocalPort) == TCP6_LOCAL_PORT_OFFSET, "IPv6 local port");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, ucRemoteAddr) == TCP6_REMOTE_ADDRESS_OFFSET, "IPv6 remote address");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwRemoteScopeId) == TCP6_REMOTE_SCOPE_OFFSET, "IPv6 remote scope");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwRemotePort) == TCP6_REMOTE_PORT_OFFSET, "IPv6 remote port");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwState) == TCP6_STATE_OFFSET, "IPv6 state");
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwOwningPid) == TCP6_OWNER_OFFSET, "IPv6 owner");
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == TCP6_ROW_BYTES, "IPv6 row");
static_assert(offsetof(MIB_TCPTABLE_OWNER_PID, table) == TCP_TABLE_ROWS_OFFSET, "IPv4 rows");
static_assert(offsetof(MIB_TCP6TABLE_OWNER_PID, table) == TCP_TABLE_ROWS_OFFSET, "IPv6 rows");

typedef DWORD(WINAPI* GetExtendedTcpTableFunction)(PVOID table, PDWORD size, BOOL order, ULONG family,
                                                   ULONG tableClass, ULONG reserved);

ReadTcpTableFunction ReadTcpTableEntry = ReadSystemTcpTable;

// One buffer per family, kept for the run.
static GROWING_BUFFER TableBuffers[2] = {{NULL, 0, TCP_TABLE_FIRST_BYTES, TCP_TABLE_CEILING_BYTES},
                                         {NULL, 0, TCP_TABLE_FIRST_BYTES, TCP_TABLE_CEILING_BYTES}};

static const char* const STATE_NAMES[] = {
    NULL,         "closed",     "listen",  "syn-sent", "syn-received", "established", "fin-wait-1",
    "fin-wait-2", "close-wait", "closing", "last-ack", "time-wait",    "delete-tcb"};

DWORD ReadSystemTcpTable(ULONG family, void* table, DWORD* size)
{
    static SYSTEM_FUNCTION function = {"iphlpapi.dll", "GetExtendedTcpTable", 1, 0, NULL};
    GetExtendedTcpTableFunction read = (GetExtendedTcpTableFunction)(void*)FindSystemFunction(&function);
    if (read == NULL)
        return ERROR_PROC_NOT_FOUND;
    return read(table, size, FALSE, family, TCP_TABLE_OWNER_PID_ALL_CLASS, 0);
}

// One read of a family's table.
static int FillTable(void* context, unsigned char* buffer, DWORD size, DWORD* bytes)
{
    *bytes = size;
    DWORD answer = ReadTcpTableEntry(*(const ULONG*)context, buffer, bytes);
    if (answer == NO_ERROR)
        return FILL_DONE;
    return answer == ERROR_INSUFFICIENT_BUFFER ? FILL_TOO_SMALL : FILL_FAILED;
}

// Reads one family's table into its buffer; 1 when it was read, with its
// rows and their count (no more than the filled bytes hold).
static int ReadTable(int which, ULONG family, DWORD rowBytes, TCP_TABLES* tables)
{
    DWORD filled = 0;
    if (FillGrowingBuffer(&TableBuffers[which], FillTable, &family, &filled) != FILL_DONE ||
        filled < TCP_TABLE_ROWS_OFFSET)
        return 0;
    DWORD count = (DWORD)ReadNumberAt(TableBuffers[which].bytes, 0, sizeof(DWORD));
    DWORD room = (filled - TCP_TABLE_ROWS_OFFSET) / rowBytes;
    tables->rows[which] = TableBuffers[which].bytes + TCP_TABLE_ROWS_OFFSET;
    tables->rowCount[which] = count < room ? count : room;
    return 1;
}

int ReadTcpTables(TCP_TABLES* tables)
{
    memset(tables, 0, sizeof(*tables));
    // A system without IPv6, or a failure of one read, leaves the other
    // family's connections worth listing.
    tables->familyRead[0] = ReadTable(0, TCP_FAMILY_IPV4, TCP4_ROW_BYTES, tables);
    tables->familyRead[1] = ReadTable(1, TCP_FAMILY_IPV6, TCP6_ROW_BYTES, tables);
    tables->read = tables->familyRead[0] || tables->familyRead[1];
    return tables->read;
}

// Where a row of each family keeps its fields.
typedef struct TCP_ROW_LAYOUT {
    size_t addressBytes;
    size_t localAddress;
    size_t localScope;  // 0 for a family without scope ids
    size_t localPort;
    size_t remoteAddress;
    size_t remoteScope;
    size_t remotePort;
    size_t state;
    size_t owner;
} TCP_ROW_LAYOUT;

static const TCP_ROW_LAYOUT ROW_LAYOUTS[2] = {
    {4, TCP4_LOCAL_ADDRESS_OFFSET, 0, TCP4_LOCAL_PORT_OFFSET, TCP4_REMOTE_ADDRESS_OFFSET, 0, TCP4_REMOTE_PORT_OFFSET,
     TCP4_STATE_OFFSET, TCP4_OWNER_OFFSET},
    {16, TCP6_LOCAL_ADDRESS_OFFSET, TCP6_LOCAL_SCOPE_OFFSET, TCP6_LOCAL_PORT_OFFSET, TCP6_REMOTE_ADDRESS_OFFSET,
     TCP6_REMOTE_SCOPE_OFFSET, TCP6_REMOTE_PORT_OFFSET, TCP6_STATE_OFFSET, TCP6_OWNER_OFFSET},
};

// A port in network order in the low 16 bits of its field.
static WORD ReadPortAt(const unsigned char* row, size_t offset)
{
    DWORD value = (DWORD)ReadNumberAt(row, offset, sizeof(DWORD));
    return (WORD)(((value & 0xFF) << 8) | ((value >> 8) & 0xFF));
}

// A row of either family in the form the report uses.
static void TakeRow(const unsigned char* row, int ipv6, SHELL_CONNECTION* connection)
{
    const TCP_ROW_LAYOUT* layout = &ROW_LAYOUTS[ipv6 ? 1 : 0];
    memset(connection, 0, sizeof(*connection));
    connection->ipv6 = ipv6;
    memcpy(connection->localAddress, row + layout->localAddress, layout->addressBytes);
    memcpy(connection->remoteAddress, row + layout->remoteAddress, layout->addressBytes);
    if (ipv6) {
        connection->localScopeId = (DWORD)ReadNumberAt(row, layout->localScope, sizeof(DWORD));
        connection->remoteScopeId = (DWORD)ReadNumberAt(row, layout->remoteScope, sizeof(DWORD));
    }
    connection->localPort = ReadPortAt(row, layout->localPort);
    connection->remotePort = ReadPortAt(row, layout->remotePort);
    connection->state = (DWORD)ReadNumberAt(row, layout->state, sizeof(DWORD));
    connection->processId = (DWORD)ReadNumberAt(row, layout->owner, sizeof(DWORD));
}

static int IsLoopback(int ipv6, const BYTE* address)
{
    static const BYTE LOOPBACK6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const BYTE MAPPED4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (!ipv6)
        return address[0] == 127;
    if (memcmp(address, MAPPED4, sizeof(MAPPED4)) == 0)
        return address[12] == 127;
    return memcmp(address, LOOPBACK6, sizeof(LOOPBACK6)) == 0;
}

void CollectConnections(const TCP_TABLES* tables, DWORD shellId, int withParent, DWORD parentId,
                        SHELL_CONNECTIONS* connections)
{
    connections->count = 0;
    connections->cut = 0;
    connections->peer = 0;
    connections->listening = 0;
    connections->parentPeer = 0;
    connections->parentListening = 0;
    for (int which = 0; which < 2; which++) {
        if (!tables->familyRead[which])
            continue;
        DWORD rowBytes = which == 0 ? TCP4_ROW_BYTES : TCP6_ROW_BYTES;
        for (DWORD index = 0; index < tables->rowCount[which]; index++) {
            SHELL_CONNECTION row;
            TakeRow(tables->rows[which] + (size_t)index * rowBytes, which == 1, &row);
            if (row.processId != shellId && !(withParent && row.processId == parentId))
                continue;
            row.ownedByParent = row.processId != shellId;
            int peer = (row.state == TCP_STATE_ESTABLISHED || row.state == TCP_STATE_SYN_SENT ||
                        row.state == TCP_STATE_SYN_RECEIVED) &&
                       !IsLoopback(row.ipv6, row.remoteAddress);
            int listening = row.state == TCP_STATE_LISTEN && !IsLoopback(row.ipv6, row.localAddress);
            if (peer && row.ownedByParent)
                connections->parentPeer = 1;
            else if (peer)
                connections->peer = 1;
            if (listening && row.ownedByParent)
                connections->parentListening = 1;
            else if (listening)
                connections->listening = 1;
            if (connections->count < SHELL_CONNECTIONS_MAX)
                connections->rows[connections->count++] = row;
            else
                connections->cut = 1;
        }
    }
}

// RFC 4007's zone index after an IPv6 address, "fe80::1%12", when it has one.
static void AppendScope(DWORD scopeId, char* text, size_t capacity)
{
    if (scopeId == 0)
        return;
    size_t used = strlen(text);
    if (used + 1 >= capacity)
        return;
    _snprintf(text + used, capacity - used - 1, "%%%lu", (unsigned long)scopeId);
    text[capacity - 1] = '\0';
}

const char* NameTcpState(DWORD state)
{
    return state < sizeof(STATE_NAMES) / sizeof(STATE_NAMES[0]) ? STATE_NAMES[state] : NULL;
}

void FormatAddress(int ipv6, const BYTE* address, DWORD scopeId, char* text, size_t capacity)
{
    static const BYTE MAPPED4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (capacity == 0)
        return;
    text[0] = '\0';
    if (!ipv6 || memcmp(address, MAPPED4, sizeof(MAPPED4)) == 0) {
        const BYTE* four = ipv6 ? address + 12 : address;
        _snprintf(text, capacity - 1, "%s%u.%u.%u.%u", ipv6 ? "::ffff:" : "", four[0], four[1], four[2], four[3]);
        text[capacity - 1] = '\0';
        AppendScope(ipv6 ? scopeId : 0, text, capacity);
        return;
    }
    // RFC 5952: the longest run of two or more zero groups (the first of
    // equal runs) becomes "::"; groups in lower-case hexadecimal without
    // leading zeros.
    unsigned int groups[8];
    for (int index = 0; index < 8; index++)
        groups[index] = (unsigned int)(address[2 * index] << 8 | address[2 * index + 1]);
    int bestStart = -1;
    int bestLength = 1;
    for (int index = 0; index < 8;) {
        int length = 0;
        while (index + length < 8 && groups[index + length] == 0)
            length++;
        if (length > bestLength) {
            bestStart = index;
            bestLength = length;
        }
        index += length > 0 ? length : 1;
    }
    size_t used = 0;
    for (int index = 0; index < 8 && used + 6 < capacity; index++) {
        if (index == bestStart) {
            used += (size_t)_snprintf(text + used, capacity - used - 1, "%s", index == 0 ? "::" : ":");
            index += bestLength - 1;
            continue;
        }
        used += (size_t)_snprintf(text + used, capacity - used - 1, "%x%s", groups[index],
                                  index < 7 ? ":" : "");
    }
    text[used < capacity ? used : capacity - 1] = '\0';
    AppendScope(scopeId, text, capacity);
}
