#include "growbuffer.h"

// Replaces the buffer by one of bytes; what it held is not kept.
static int ResizeBuffer(GROWING_BUFFER* buffer, DWORD bytes)
{
    if (buffer->bytes != NULL)
        HeapFree(GetProcessHeap(), 0, buffer->bytes);
    buffer->bytes = (unsigned char*)HeapAlloc(GetProcessHeap(), 0, bytes);
    buffer->size = buffer->bytes != NULL ? bytes : 0;
    return buffer->bytes != NULL;
}

int FillGrowingBuffer(GROWING_BUFFER* buffer, FillFunction fill, void* context, DWORD* filled)
{
    *filled = 0;
    if (buffer->bytes == NULL && !ResizeBuffer(buffer, buffer->firstSize))
        return FILL_TOO_SMALL;
    for (;;) {
        DWORD bytes = 0;
        int answer = fill(context, buffer->bytes, buffer->size, &bytes);
        if (answer == FILL_DONE) {
            *filled = bytes < buffer->size ? bytes : buffer->size;
            return FILL_DONE;
        }
        if (answer != FILL_TOO_SMALL || buffer->size >= buffer->ceiling)
            return FILL_FAILED;
        // The list grows between the calls: room beyond what was asked for.
        DWORD wanted = buffer->size * 2;
        if (bytes > buffer->size && bytes / 2 * 3 > wanted)
            wanted = bytes / 2 * 3;
        if (wanted > buffer->ceiling)
            wanted = buffer->ceiling;
        if (!ResizeBuffer(buffer, wanted))
            return FILL_TOO_SMALL;
    }
}

int GrowArray(void** array, DWORD* capacity, DWORD wanted, size_t itemBytes, DWORD ceiling)
{
    if (wanted <= *capacity)
        return 1;
    if (wanted > ceiling)
        return 0;
    DWORD grown = *capacity < 64 ? 64 : *capacity;
    while (grown < wanted)
        grown = grown > ceiling / 2 ? ceiling : grown * 2;
    void* memory = *array == NULL ? HeapAlloc(GetProcessHeap(), 0, grown * itemBytes)
                                  : HeapReAlloc(GetProcessHeap(), 0, *array, grown * itemBytes);
    if (memory == NULL)
        return 0;
    *array = memory;
    *capacity = grown;
    return 1;
}
