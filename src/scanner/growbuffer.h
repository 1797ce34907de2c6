// A buffer for a system list of no fixed size (the process list, the TCP
// tables): allocated at its first use, grown while the call that fills it
// answers that it is too small, up to a stated ceiling, and kept for the run.
#ifndef MURKSCOPE_GROWBUFFER_H
#define MURKSCOPE_GROWBUFFER_H

#include <windows.h>

typedef struct GROWING_BUFFER {
    unsigned char* bytes;
    DWORD size;
    DWORD firstSize;
    DWORD ceiling;
} GROWING_BUFFER;

// A fill's answers.
#define FILL_DONE 0
#define FILL_TOO_SMALL 1
#define FILL_FAILED 2

// Fills size bytes at buffer; answers FILL_*, with the bytes it filled
// (FILL_DONE) or the bytes it needs (FILL_TOO_SMALL; 0 when not known) in
// *bytes.
typedef int (*FillFunction)(void* context, unsigned char* buffer, DWORD size, DWORD* bytes);

// Answers FILL_DONE with the bytes filled (never more than the buffer holds)
// in *filled; FILL_FAILED when the fill failed or the ceiling was reached;
// FILL_TOO_SMALL when no memory could be had for a larger buffer, which then
// has none.
int FillGrowingBuffer(GROWING_BUFFER* buffer, FillFunction fill, void* context, DWORD* filled);

// Makes an array of items of itemBytes, allocated at its first growth and
// kept, hold at least wanted of them, doubling from 64 and never past
// ceiling; 1 when it does, 0 (the array as it was) when it cannot.
int GrowArray(void** array, DWORD* capacity, DWORD wanted, size_t itemBytes, DWORD ceiling);

#endif
