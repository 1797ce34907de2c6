// Bounded copies of texts into fixed buffers: every copy of a name, owner or
// path goes through these, and each always leaves a terminated text.
#ifndef MURKSCOPE_TEXT_H
#define MURKSCOPE_TEXT_H

#include <windows.h>

// Copies source, cut to capacity - 1 bytes.
void CopyText(char* text, DWORD capacity, const char* source);
// Copies characters characters of source (or fewer, at a terminating zero),
// cut to capacity - 1.
void CopyWideText(WCHAR* text, DWORD capacity, const WCHAR* source, size_t characters);
// 1 when the chars characters of name are wanted, ASCII letters compared
// without regard to case.
int IsSameAsciiName(const WCHAR* name, size_t chars, const char* wanted);

#endif
