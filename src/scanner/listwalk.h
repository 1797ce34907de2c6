// The walk over a SystemProcessInformation buffer the system filled. Kept
// free of windows.h so that it can be built and fuzzed natively. The
// buffer's next-record offsets and its name strings are checked against the
// buffer before anything of them is used.
#ifndef MURKSCOPE_LISTWALK_H
#define MURKSCOPE_LISTWALK_H

#include <stddef.h>

// 64-bit layout of a SYSTEM_PROCESS_INFORMATION record: the fields read,
// and the bytes a record must have for them.
#define LIST_RECORD_BYTES 0x68
#define LIST_NEXT_OFFSET 0x00
#define LIST_CREATE_TIME_OFFSET 0x20
#define LIST_IMAGE_NAME_OFFSET 0x38  // UNICODE_STRING: byte count, maximum, pointer at +8
#define LIST_PROCESS_ID_OFFSET 0x50
#define LIST_PARENT_ID_OFFSET 0x58
#define LIST_SESSION_OFFSET 0x64

// One record's fields as the walk took them.
typedef struct LIST_RECORD {
    unsigned long processId;
    unsigned long parentProcessId;
    unsigned long long created;  // FILETIME units; 0 when the list gives none
    unsigned long session;
    size_t nameOffset;  // of the image name in the buffer, when nameChars > 0
    size_t nameChars;   // 0 when the record has no name, or one outside the buffer
} LIST_RECORD;

// The record at *position (0 for the first) of the bytes at records, which
// the system placed at the address recordsAddress (the name strings point
// into the buffer by address); then *position moves on to the next record.
// 0 when no whole record is left at *position. A next offset shorter than a
// record or past the buffer's end makes this record the last. A name that
// is odd in length or address, or that does not lie wholly in the buffer, is
// no name. Reads nothing outside records[0, bytes).
int WalkListRecord(const unsigned char* records, size_t bytes, unsigned long long recordsAddress,
                   size_t* position, LIST_RECORD* record);

#endif
