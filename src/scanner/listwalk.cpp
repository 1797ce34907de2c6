// Walks the records of a process list held in a local buffer.
#include "listwalk.h"

#include <string.h>

#include "bytefield.h"

int WalkListRecord(const unsigned char* records, size_t bytes, unsigned long long recordsAddress,
                   size_t* position, LIST_RECORD* record)
{
    size_t at = *position;
    if (records == NULL || at > bytes || bytes - at < LIST_RECORD_BYTES)
        return 0;
    const unsigned char* fields = records + at;
    size_t next = (unsigned long)ReadNumberAt(fields, LIST_NEXT_OFFSET, 4);
    // The last record has no next; one that would not fit ends the walk.
    *position = next >= LIST_RECORD_BYTES && next <= bytes - at ? at + next : bytes;

    // The ids are pointer-sized; process ids fit in 32 bits.
    record->processId = (unsigned long)(ReadNumberAt(fields, LIST_PROCESS_ID_OFFSET, 8) & 0xFFFFFFFFu);
    record->parentProcessId = (unsigned long)(ReadNumberAt(fields, LIST_PARENT_ID_OFFSET, 8) & 0xFFFFFFFFu);
    record->created = ReadNumberAt(fields, LIST_CREATE_TIME_OFFSET, 8);
    record->session = (unsigned long)ReadNumberAt(fields, LIST_SESSION_OFFSET, 4);

    unsigned short nameBytes = 0;
    memcpy(&nameBytes, fields + LIST_IMAGE_NAME_OFFSET, sizeof(nameBytes));
    unsigned long long name = ReadNumberAt(fields, LIST_IMAGE_NAME_OFFSET + 8, 8);
    record->nameOffset = 0;
    record->nameChars = 0;
    if (nameBytes % 2 == 0 && name % 2 == 0 && name >= recordsAddress && name - recordsAddress <= bytes &&
        nameBytes <= bytes - (size_t)(name - recordsAddress)) {
        record->nameOffset = (size_t)(name - recordsAddress);
        record->nameChars = nameBytes / 2;
    }
    return 1;
}
