#include "text.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

void CopyText(char* text, DWORD capacity, const char* source)
{
    if (capacity == 0)
        return;
    _snprintf(text, capacity - 1, "%s", source);
    text[capacity - 1] = '\0';
}

void CopyWideText(WCHAR* text, DWORD capacity, const WCHAR* source, size_t characters)
{
    if (capacity == 0)
        return;
    size_t length = wcsnlen(source, characters);
    if (length > capacity - 1)
        length = capacity - 1;
    memcpy(text, source, length * sizeof(WCHAR));
    text[length] = 0;
}
