// libFuzzer target for the version-data parser, built natively with clang
// and the address and undefined-behaviour sanitizers. The input is an image
// as it lies mapped in memory (offset 0 is the image's base). Each parser is
// run on an exact-size heap copy of the bytes it is given, so that any read
// past them is caught; then the three reads the tool makes are run through
// the same driver the tool calls, which must agree, stay within its read
// budget, and name only a text that stands terminated in the input.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "versiondata.h"

namespace {

struct InputImage {
    const uint8_t* bytes;
    size_t size;
    int reads;
    size_t resourceBytes;  // asked for after the headers
};

size_t ReadInput(void* context, unsigned long long offset, unsigned char* buffer, size_t bytes)
{
    InputImage* image = (InputImage*)context;
    if (image->reads++ > 0)
        image->resourceBytes += bytes;
    if (offset >= image->size)
        return 0;
    size_t available = image->size - (size_t)offset;
    size_t delivered = bytes < available ? bytes : available;
    memcpy(buffer, image->bytes + offset, delivered);
    return delivered;
}

// A heap copy of exactly the bytes [offset, offset + bytes) of the input
// that exist (at least one byte is allocated).
unsigned char* CopyExactly(const uint8_t* data, size_t size, unsigned long long offset, size_t bytes, size_t* copied)
{
    *copied = offset < size ? (bytes < size - offset ? bytes : size - (size_t)offset) : 0;
    unsigned char* copy = (unsigned char*)malloc(*copied + (*copied == 0 ? 1 : 0));
    if (copy != NULL && *copied != 0)
        memcpy(copy, data + offset, *copied);
    return copy;
}

// The parsers one by one, as the driver should chain them.
int FindStepByStep(const uint8_t* data, size_t size, VERSION_CHAR* name, size_t* chars)
{
    size_t bytes = 0;
    unsigned char* headers = CopyExactly(data, size, 0, IMAGE_HEADERS_BYTES, &bytes);
    RESOURCE_PLACE place;
    int found = headers != NULL && FindResourcePlace(headers, bytes, &place);
    free(headers);
    if (!found)
        return 0;
    size_t wanted = place.bytes < RESOURCE_DIRECTORY_READ_BYTES ? place.bytes : RESOURCE_DIRECTORY_READ_BYTES;
    size_t directoryBytes = 0;
    unsigned char* directory = CopyExactly(data, size, place.offset, wanted, &directoryBytes);
    unsigned long dataOffset = 0;
    unsigned long dataBytes = 0;
    found = directory != NULL && FindVersionData(directory, directoryBytes, &dataOffset, &dataBytes);
    free(directory);
    if (!found || dataOffset >= place.imageBytes || dataBytes > place.imageBytes - dataOffset)
        return 0;
    int inside = dataOffset >= place.offset && dataOffset - place.offset <= directoryBytes &&
                 dataBytes <= directoryBytes - (dataOffset - place.offset);
    size_t limit = inside ? dataBytes
                          : (dataBytes < RESOURCE_READ_BYTES - wanted ? dataBytes : RESOURCE_READ_BYTES - wanted);
    size_t versionBytes = 0;
    unsigned char* version = CopyExactly(data, size, dataOffset, limit, &versionBytes);
    found = version != NULL && FindOriginalName(version, versionBytes, name, chars);
    free(version);
    return found;
}

// 1 when name (chars units and a terminator) stands in the input as UTF-16LE.
int StandsInInput(const uint8_t* data, size_t size, const VERSION_CHAR* name, size_t chars)
{
    size_t bytes = (chars + 1) * 2;
    for (size_t at = 0; at + bytes <= size; at++) {
        size_t index = 0;
        while (index <= chars && (data[at + 2 * index] | data[at + 2 * index + 1] << 8) == name[index])
            index++;
        if (index > chars)
            return 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t* image = (uint8_t*)malloc(size + (size == 0 ? 1 : 0));
    VERSION_READ* work = (VERSION_READ*)malloc(sizeof(VERSION_READ));
    if (image == NULL || work == NULL) {
        free(image);
        free(work);
        return 0;
    }
    memcpy(image, data, size);

    VERSION_CHAR expected[ORIGINAL_NAME_CHARS + 1];
    size_t expectedChars = 0;
    int expectedFound = FindStepByStep(image, size, expected, &expectedChars);

    InputImage input = {image, size, 0, 0};
    VERSION_CHAR name[ORIGINAL_NAME_CHARS + 1];
    size_t chars = 0;
    int found = ReadOriginalName(ReadInput, &input, work, name, &chars);

    const char* fault = NULL;
    if (found != expectedFound)
        fault = "the driver and the parsers one by one disagree";
    else if (input.reads > 3 || input.resourceBytes > RESOURCE_READ_BYTES)
        fault = "more than three reads, or more than the resource budget asked for";
    else if (found && (chars > ORIGINAL_NAME_CHARS || chars != expectedChars ||
                       memcmp(name, expected, (chars + 1) * sizeof(VERSION_CHAR)) != 0))
        fault = "a name other than the parsers' own, or too long";
    else if (found && !StandsInInput(image, size, name, chars))
        fault = "a name that does not stand terminated in the input";
    for (size_t index = 0; found && fault == NULL && index < chars; index++)
        if (name[index] == 0)
            fault = "a terminator inside the name";
    free(work);
    free(image);
    if (fault != NULL) {
        fprintf(stderr, "MISMATCH: %s (found %d/%d, %zu characters, %d reads, %zu resource bytes)\n", fault, found,
                expectedFound, chars, input.reads, input.resourceBytes);
        abort();
    }
    return 0;
}
