#include "text.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "asciifold.h"

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

int IsSameAsciiName(const WCHAR* name, size_t chars, const char* wanted)
{
    size_t index = 0;
    for (; wanted[index] != '\0'; index++)
        if (index >= chars || FoldAsciiLetter(name[index]) != FoldAsciiLetter((unsigned char)wanted[index]))
            return 0;
    return index == chars;
}
