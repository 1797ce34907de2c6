// A number at an offset of a record held in a byte buffer: records read from
// a target or filled by the system are plain bytes, copied rather than cast
// so that no read is misaligned. Kept free of windows.h for the fuzzers.
#ifndef MURKSCOPE_BYTEFIELD_H
#define MURKSCOPE_BYTEFIELD_H

#include <stddef.h>
#include <string.h>

// The little-endian number of width bytes (at most 8) at offset; the caller
// has checked that offset + width lies inside the buffer.
inline unsigned long long ReadNumberAt(const unsigned char* bytes, size_t offset, size_t width)
{
    unsigned long long value = 0;
    memcpy(&value, bytes + offset, width < sizeof(value) ? width : sizeof(value));
    return value;
}

#endif
