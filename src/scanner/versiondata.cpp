// Parses the version data of an image mapped in another process. Nothing
// read is trusted: a field is used only once the bytes it lies in are known
// to have been read, and every walk has a fixed depth and moves forward.
#include "versiondata.h"

#include <string.h>

#include "asciifold.h"

#define DOS_NEW_HEADER_OFFSET 0x3C
#define NT_SIGNATURE_BYTES 4
#define FILE_HEADER_BYTES 20
#define FILE_HEADER_OPTIONAL_BYTES_OFFSET 16
#define OPTIONAL_MAGIC_PE32 0x10B
#define OPTIONAL_MAGIC_PE32_PLUS 0x20B
#define OPTIONAL_IMAGE_BYTES_OFFSET 56
#define OPTIONAL_PE32_DIRECTORY_COUNT_OFFSET 92
#define OPTIONAL_PE32_PLUS_DIRECTORY_COUNT_OFFSET 108
#define DATA_DIRECTORY_BYTES 8
#define RESOURCE_DIRECTORY_INDEX 2

#define RESOURCE_TABLE_BYTES 16
#define RESOURCE_TABLE_NAMED_COUNT_OFFSET 12
#define RESOURCE_TABLE_ID_COUNT_OFFSET 14
#define RESOURCE_ENTRY_BYTES 8
#define RESOURCE_DATA_ENTRY_BYTES 16
#define RESOURCE_NAME_IS_STRING 0x80000000u
#define RESOURCE_DATA_IS_DIRECTORY 0x80000000u
#define RESOURCE_TYPE_VERSION 16
#define RESOURCE_NAME_VERSION_INFO 1

#define VERSION_BLOCK_HEADER_BYTES 6
#define VERSION_TEXT_TYPE 1

static unsigned int ReadWord(const unsigned char* bytes, size_t at)
{
    return (unsigned int)bytes[at] | (unsigned int)bytes[at + 1] << 8;
}

static unsigned long ReadLong(const unsigned char* bytes, size_t at)
{
    return (unsigned long)bytes[at] | (unsigned long)bytes[at + 1] << 8 | (unsigned long)bytes[at + 2] << 16 |
           (unsigned long)bytes[at + 3] << 24;
}

// 1 when [at, at + length) lies inside bytes; never overflows.
static int Fits(size_t bytes, unsigned long long at, unsigned long long length)
{
    return at <= bytes && length <= bytes - at;
}

int FindResourcePlace(const unsigned char* headers, size_t bytes, RESOURCE_PLACE* place)
{
    if (!Fits(bytes, 0, DOS_NEW_HEADER_OFFSET + 4) || headers[0] != 'M' || headers[1] != 'Z')
        return 0;
    unsigned long long nt = ReadLong(headers, DOS_NEW_HEADER_OFFSET);
    if (!Fits(bytes, nt, NT_SIGNATURE_BYTES + FILE_HEADER_BYTES) || memcmp(headers + nt, "PE\0\0", 4) != 0)
        return 0;
    unsigned long optionalBytes = ReadWord(headers, (size_t)nt + NT_SIGNATURE_BYTES + FILE_HEADER_OPTIONAL_BYTES_OFFSET);
    unsigned long long optional = nt + NT_SIGNATURE_BYTES + FILE_HEADER_BYTES;
    if (!Fits(bytes, optional, 2))
        return 0;
    unsigned int magic = ReadWord(headers, (size_t)optional);
    unsigned long countOffset = magic == OPTIONAL_MAGIC_PE32        ? OPTIONAL_PE32_DIRECTORY_COUNT_OFFSET
                                : magic == OPTIONAL_MAGIC_PE32_PLUS ? OPTIONAL_PE32_PLUS_DIRECTORY_COUNT_OFFSET
                                                                    : 0;
    if (countOffset == 0)
        return 0;
    // The resource entry must lie inside the optional header the file header
    // declares, and inside what was read.
    unsigned long entryOffset = countOffset + 4 + RESOURCE_DIRECTORY_INDEX * DATA_DIRECTORY_BYTES;
    if (optionalBytes < entryOffset + DATA_DIRECTORY_BYTES || !Fits(bytes, optional, entryOffset + DATA_DIRECTORY_BYTES))
        return 0;
    if (ReadLong(headers, (size_t)(optional + countOffset)) <= RESOURCE_DIRECTORY_INDEX)
        return 0;
    place->imageBytes = ReadLong(headers, (size_t)(optional + OPTIONAL_IMAGE_BYTES_OFFSET));
    place->offset = ReadLong(headers, (size_t)(optional + entryOffset));
    place->bytes = ReadLong(headers, (size_t)(optional + entryOffset + 4));
    return place->offset != 0 && place->bytes != 0 &&
           Fits(place->imageBytes, place->offset, place->bytes);
}

// The entries of the table at offset that lie inside the read: as many as
// it declares, or as many as fit, whichever is fewer.
static size_t CountTableEntries(const unsigned char* directory, size_t bytes, unsigned long offset)
{
    if (!Fits(bytes, offset, RESOURCE_TABLE_BYTES))
        return 0;
    size_t declared = ReadWord(directory, offset + RESOURCE_TABLE_NAMED_COUNT_OFFSET) +
                      ReadWord(directory, offset + RESOURCE_TABLE_ID_COUNT_OFFSET);
    size_t fitting = (bytes - offset - RESOURCE_TABLE_BYTES) / RESOURCE_ENTRY_BYTES;
    return declared < fitting ? declared : fitting;
}

// The subdirectory the table's first entry (or its first entry with an
// id of wantedId, when wantedId is not 0) leads to; 0 when there is none.
static int FindSubdirectory(const unsigned char* directory, size_t bytes, unsigned long table, unsigned long wantedId,
                            unsigned long* subdirectory)
{
    size_t count = CountTableEntries(directory, bytes, table);
    for (size_t index = 0; index < count; index++) {
        size_t entry = table + RESOURCE_TABLE_BYTES + index * RESOURCE_ENTRY_BYTES;
        unsigned long name = ReadLong(directory, entry);
        unsigned long data = ReadLong(directory, entry + 4);
        if (wantedId != 0 && ((name & RESOURCE_NAME_IS_STRING) != 0 || name != wantedId))
            continue;
        if ((data & RESOURCE_DATA_IS_DIRECTORY) == 0)
            return 0;
        *subdirectory = data & ~RESOURCE_DATA_IS_DIRECTORY;
        return 1;
    }
    return 0;
}

int FindVersionData(const unsigned char* directory, size_t bytes, unsigned long* dataOffset,
                    unsigned long* dataBytes)
{
    // Type, then name, then language: three levels and no more.
    unsigned long names = 0;
    unsigned long languages = 0;
    // VS_VERSION_INFO is id 1, which Explorer and the version API read;
    // string names sort before ids, so another resource named with a
    // string would otherwise come first and name the image.
    if (!FindSubdirectory(directory, bytes, 0, RESOURCE_TYPE_VERSION, &names) ||
        (!FindSubdirectory(directory, bytes, names, RESOURCE_NAME_VERSION_INFO, &languages) &&
         !FindSubdirectory(directory, bytes, names, 0, &languages)) ||
        CountTableEntries(directory, bytes, languages) == 0)
        return 0;
    unsigned long leaf = ReadLong(directory, languages + RESOURCE_TABLE_BYTES + 4);
    if ((leaf & RESOURCE_DATA_IS_DIRECTORY) != 0 || !Fits(bytes, leaf, RESOURCE_DATA_ENTRY_BYTES))
        return 0;
    *dataOffset = ReadLong(directory, leaf);
    *dataBytes = ReadLong(directory, leaf + 4);
    return 1;
}

// One block of a VS_VERSIONINFO tree: its extent, where its key's text
// begins and ends, and where its value and its children begin.
typedef struct VERSION_BLOCK {
    size_t start;
    size_t end;
    size_t keyEnd;      // the key's terminator
    size_t valueStart;
    size_t childrenStart;
} VERSION_BLOCK;

static size_t AlignToLong(size_t at)
{
    return (at + 3) & ~(size_t)3;
}

// The block at start, which must lie inside limit (or, when cut is set, is
// taken as far as limit); 0 when it does not or its key has no terminator
// inside it.
static int ReadVersionBlock(const unsigned char* data, size_t start, size_t limit, int cut, VERSION_BLOCK* block)
{
    if (!Fits(limit, start, VERSION_BLOCK_HEADER_BYTES))
        return 0;
    size_t length = ReadWord(data, start);
    size_t valueLength = ReadWord(data, start + 2);
    if (length < VERSION_BLOCK_HEADER_BYTES || (length > limit - start && !cut))
        return 0;
    if (length > limit - start)
        length = limit - start;
    if (ReadWord(data, start + 4) == VERSION_TEXT_TYPE)
        valueLength *= sizeof(VERSION_CHAR);
    block->start = start;
    block->end = start + length;
    size_t at = start + VERSION_BLOCK_HEADER_BYTES;
    while (at + sizeof(VERSION_CHAR) <= block->end && ReadWord(data, at) != 0)
        at += sizeof(VERSION_CHAR);
    if (at + sizeof(VERSION_CHAR) > block->end)
        return 0;
    block->keyEnd = at;
    block->valueStart = AlignToLong(at + sizeof(VERSION_CHAR));
    block->childrenStart = AlignToLong(block->valueStart + valueLength);
    return 1;
}

// The block's key against an ASCII text, without case.
static int HasKey(const unsigned char* data, const VERSION_BLOCK* block, const char* key)
{
    size_t at = block->start + VERSION_BLOCK_HEADER_BYTES;
    for (; *key != '\0'; key++, at += sizeof(VERSION_CHAR))
        if (at >= block->keyEnd || FoldAsciiLetter(ReadWord(data, at)) != FoldAsciiLetter((unsigned char)*key))
            return 0;
    return at == block->keyEnd;
}

// The child after *child in parent, or the first when *child is empty
// (end 0); 0 when there is no further child that lies inside the parent.
static int NextChildBlock(const unsigned char* data, const VERSION_BLOCK* parent, VERSION_BLOCK* child)
{
    size_t at = child->end == 0 ? parent->childrenStart : AlignToLong(child->end);
    return at < parent->end && ReadVersionBlock(data, at, parent->end, 0, child);
}

// The text value of a String block, copied out when it ends inside the block.
static int CopyTextValue(const unsigned char* data, const VERSION_BLOCK* block, VERSION_CHAR* name, size_t* chars)
{
    size_t count = 0;
    for (size_t at = block->valueStart; at + sizeof(VERSION_CHAR) <= block->end; at += sizeof(VERSION_CHAR)) {
        VERSION_CHAR character = (VERSION_CHAR)ReadWord(data, at);
        if (character == 0) {
            name[count] = 0;
            *chars = count;
            return 1;
        }
        if (count == ORIGINAL_NAME_CHARS)
            return 0;
        name[count++] = character;
    }
    return 0;
}

int FindOriginalName(const unsigned char* data, size_t bytes, VERSION_CHAR* name, size_t* chars)
{
    VERSION_BLOCK root;
    // Version data cut by the read is taken as far as it goes.
    if (!ReadVersionBlock(data, 0, bytes, 1, &root) || !HasKey(data, &root, "VS_VERSION_INFO"))
        return 0;
    VERSION_BLOCK fileInfo;
    fileInfo.end = 0;
    while (NextChildBlock(data, &root, &fileInfo)) {
        if (!HasKey(data, &fileInfo, "StringFileInfo"))
            continue;
        VERSION_BLOCK table;
        table.end = 0;
        while (NextChildBlock(data, &fileInfo, &table)) {
            VERSION_BLOCK string;
            string.end = 0;
            while (NextChildBlock(data, &table, &string))
                if (HasKey(data, &string, "OriginalFilename"))
                    return CopyTextValue(data, &string, name, chars);
        }
    }
    return 0;
}

int ReadOriginalName(READ_IMAGE_FUNCTION read, void* context, VERSION_READ* work, VERSION_CHAR* name,
                     size_t* chars)
{
    RESOURCE_PLACE place;
    size_t headerBytes = read(context, 0, work->headers, sizeof(work->headers));
    if (headerBytes > sizeof(work->headers) || !FindResourcePlace(work->headers, headerBytes, &place))
        return 0;

    size_t directoryWanted = place.bytes < RESOURCE_DIRECTORY_READ_BYTES ? place.bytes : RESOURCE_DIRECTORY_READ_BYTES;
    size_t directoryBytes = read(context, place.offset, work->resources, directoryWanted);
    unsigned long dataOffset = 0;
    unsigned long dataBytes = 0;
    if (directoryBytes > directoryWanted || !FindVersionData(work->resources, directoryBytes, &dataOffset, &dataBytes) ||
        !Fits(place.imageBytes, dataOffset, dataBytes))
        return 0;

    // Small images keep their version data right after the directory: it is
    // then already read.
    const unsigned char* data = NULL;
    size_t bytes = 0;
    if (dataOffset >= place.offset && Fits(directoryBytes, dataOffset - place.offset, dataBytes)) {
        data = work->resources + (dataOffset - place.offset);
        bytes = dataBytes;
    } else {
        // What the two reads ask for together stays within the budget.
        size_t room = sizeof(work->resources) - directoryWanted;
        size_t wanted = dataBytes < room ? dataBytes : room;
        bytes = read(context, dataOffset, work->resources + directoryBytes, wanted);
        if (bytes > wanted)
            return 0;
        data = work->resources + directoryBytes;
    }
    return FindOriginalName(data, bytes, name, chars);
}
