// Walks the records of a process list held in a local buffer.
#include "listwalk.h"

#include <string.h>

static unsigned long ReadNumber32At(const unsigned char* record, size_t offset)
{
    unsigned int value = 0;
    memcpy(&value, record + offset, sizeof(value));
    return value;
}

static unsigned long long ReadNumber64At(const unsigned char* record, size_t offset)
{
    unsigned long long value = 0;
    memcpy(&value, record + offset, sizeof(value));
    return value;
}

int WalkListRecord(const unsigned char* records, size_t bytes, unsigned long long recordsAddress,
                   size_t* position, LIST_RECORD* record)
{
    size_t at = *position;
    if (records == NULL || at > bytes || bytes - at < LIST_RECORD_BYTES)
        return 0;
    const unsigned char* fields = records + at;
    size_t next = ReadNumber32At(fields, LIST_NEXT_OFFSET);
    // The last record has no next; one that would not fit ends the walk.
    *position = next >= LIST_RECORD_BYTES && next <= bytes - at ? at + next : bytes;

    // The ids are pointer-sized; process ids fit in 32 bits.
    record->processId = (unsigned long)(ReadNumber64At(fields, LIST_PROCESS_ID_OFFSET) & 0xFFFFFFFFu);
    record->parentProcessId = (unsigned long)(ReadNumber64At(fields, LIST_PARENT_ID_OFFSET) & 0xFFFFFFFFu);
    record->created = ReadNumber64At(fields, LIST_CREATE_TIME_OFFSET);
    record->session = ReadNumber32At(fields, LIST_SESSION_OFFSET);

    unsigned short nameBytes = 0;
    memcpy(&nameBytes, fields + LIST_IMAGE_NAME_OFFSET, sizeof(nameBytes));
    unsigned long long name = ReadNumber64At(fields, LIST_IMAGE_NAME_OFFSET + 8);
    record->nameOffset = 0;
    record->nameChars = 0;
    if (nameBytes % 2 == 0 && name % 2 == 0 && name >= recordsAddress && name - recordsAddress <= bytes &&
        nameBytes <= bytes - (size_t)(name - recordsAddress)) {
        record->nameOffset = (size_t)(name - recordsAddress);
        record->nameChars = nameBytes / 2;
    }
    return 1;
}
