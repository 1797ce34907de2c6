// libFuzzer target for the process-list walk, built natively with clang and
// the address and undefined-behaviour sanitizers. The input is a list buffer
// as the system fills it, placed at LIST_ADDRESS: its name strings point at
// LIST_ADDRESS plus their offset. The walk runs on an exact-size heap copy,
// so that a read past the buffer is caught, every name it gives is read to
// its last character, and each record is compared with the record read out
// field by field here.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "listwalk.h"

namespace {

const unsigned long long LIST_ADDRESS = 0x10000;

// Where the names' characters go, so that reading them is not left out.
volatile unsigned int NameSink;

uint64_t ReadLittleEndian(const uint8_t* data, size_t offset, size_t bytes)
{
    uint64_t value = 0;
    for (size_t index = 0; index < bytes; index++)
        value |= (uint64_t)data[offset + index] << (8 * index);
    return value;
}

// The record at at, field by field: where the next starts (the buffer's end
// when the next offset is short or runs past it) and where the name lies.
void ExpectRecord(const uint8_t* data, size_t size, size_t at, size_t* next, LIST_RECORD* record)
{
    const uint8_t* fields = data + at;
    uint64_t offset = ReadLittleEndian(fields, LIST_NEXT_OFFSET, 4);
    *next = offset >= LIST_RECORD_BYTES && at + offset <= size ? at + (size_t)offset : size;
    record->processId = (unsigned long)ReadLittleEndian(fields, LIST_PROCESS_ID_OFFSET, 4);
    record->parentProcessId = (unsigned long)ReadLittleEndian(fields, LIST_PARENT_ID_OFFSET, 4);
    record->created = ReadLittleEndian(fields, LIST_CREATE_TIME_OFFSET, 8);
    record->session = (unsigned long)ReadLittleEndian(fields, LIST_SESSION_OFFSET, 4);
    uint64_t nameBytes = ReadLittleEndian(fields, LIST_IMAGE_NAME_OFFSET, 2);
    uint64_t name = ReadLittleEndian(fields, LIST_IMAGE_NAME_OFFSET + 8, 8);
    record->nameOffset = 0;
    record->nameChars = 0;
    // Both ends of the name inside the buffer, both even.
    if (name >= LIST_ADDRESS && name - LIST_ADDRESS <= size && name - LIST_ADDRESS + nameBytes <= size &&
        name % 2 == 0 && nameBytes % 2 == 0) {
        record->nameOffset = (size_t)(name - LIST_ADDRESS);
        record->nameChars = (size_t)(nameBytes / 2);
    }
}

int SameRecord(const LIST_RECORD* one, const LIST_RECORD* other)
{
    return one->processId == other->processId && one->parentProcessId == other->parentProcessId &&
           one->created == other->created && one->session == other->session &&
           one->nameChars == other->nameChars && (one->nameChars == 0 || one->nameOffset == other->nameOffset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    unsigned char* records = (unsigned char*)malloc(size + (size == 0 ? 1 : 0));
    if (records == NULL)
        return 0;
    memcpy(records, data, size);

    size_t position = 0;
    size_t expectedAt = 0;
    size_t count = 0;
    unsigned int nameSum = 0;
    LIST_RECORD record;
    while (WalkListRecord(records, size, LIST_ADDRESS, &position, &record)) {
        count++;
        LIST_RECORD expected;
        size_t expectedNext = 0;
        if (size - expectedAt < LIST_RECORD_BYTES) {
            fprintf(stderr, "MISMATCH: a record at %zu of a %zu-byte list, too short for one\n", expectedAt, size);
            abort();
        }
        ExpectRecord(data, size, expectedAt, &expectedNext, &expected);
        if (!SameRecord(&record, &expected) || position != expectedNext || position <= expectedAt) {
            fprintf(stderr, "MISMATCH: record %zu at %zu: walk gave pid %lu name %zu+%zu next %zu, expected pid %lu "
                            "name %zu+%zu next %zu\n",
                    count, expectedAt, record.processId, record.nameOffset, record.nameChars, position,
                    expected.processId, expected.nameOffset, expected.nameChars, expectedNext);
            abort();
        }
        // The tool prints every character of the name: all must be inside.
        for (size_t index = 0; index < record.nameChars; index++)
            nameSum += records[record.nameOffset + 2 * index] + records[record.nameOffset + 2 * index + 1];
        expectedAt = position;
    }
    free(records);
    if (expectedAt < size && size - expectedAt >= LIST_RECORD_BYTES) {
        fprintf(stderr, "MISMATCH: the walk ended at %zu with a whole record left in %zu bytes\n", expectedAt, size);
        abort();
    }
    NameSink = nameSum;
    return 0;
}
