// libFuzzer target for the version-data parser, built natively with clang
// and the address and undefined-behaviour sanitizers. The input is an image
// as it lies mapped in memory (offset 0 is the image's base). Each parser
// also runs on an exact-size heap copy of the whole input, so that a read
// past the bytes it is given is caught; then the three reads the tool makes
// run through the driver the tool calls, which must stay within its read
// budget and name only a text that stands, terminated, in the input.
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
    size_t delivered = bytes < image->size - offset ? bytes : image->size - (size_t)offset;
    memcpy(buffer, image->bytes + offset, delivered);
    return delivered;
}

// 1 when name (chars units, no zero among them, and a terminator) stands in
// the input as UTF-16LE.
int StandsInInput(const uint8_t* data, size_t size, const VERSION_CHAR* name, size_t chars)
{
    for (size_t index = 0; index < chars; index++)
        if (name[index] == 0)
            return 0;
    for (size_t at = 0; at + (chars + 1) * 2 <= size; at++) {
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
    RESOURCE_PLACE place;
    unsigned long dataOffset = 0;
    unsigned long dataBytes = 0;
    VERSION_CHAR name[ORIGINAL_NAME_CHARS + 1];
    size_t chars = 0;
    FindResourcePlace(image, size, &place);
    FindVersionData(image, size, &dataOffset, &dataBytes);
    if (FindOriginalName(image, size, name, &chars) &&
        (chars > ORIGINAL_NAME_CHARS || !StandsInInput(image, size, name, chars))) {
        fprintf(stderr, "MISMATCH: FindOriginalName named %zu characters that do not stand in the input\n", chars);
        abort();
    }

    InputImage input = {image, size, 0, 0};
    int found = ReadOriginalName(ReadInput, &input, work, name, &chars);
    const char* fault = NULL;
    if (input.reads > 3 || input.resourceBytes > RESOURCE_READ_BYTES)
        fault = "more than three reads, or more than the resource budget asked for";
    else if (found && (chars > ORIGINAL_NAME_CHARS || !StandsInInput(image, size, name, chars)))
        fault = "a name too long, or one that does not stand terminated in the input";
    free(work);
    free(image);
    if (fault != NULL) {
        fprintf(stderr, "MISMATCH: %s (found %d, %zu characters, %d reads, %zu resource bytes)\n", fault, found, chars,
                input.reads, input.resourceBytes);
        abort();
    }
    return 0;
}
