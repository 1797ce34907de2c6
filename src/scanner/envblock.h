// The walk over an environment block held in a local buffer. Kept free of
// windows.h so that it can be built and fuzzed natively.
#ifndef MURKSCOPE_ENVBLOCK_H
#define MURKSCOPE_ENVBLOCK_H

#include <stddef.h>

// One UTF-16 code unit of an environment block.
typedef unsigned short ENV_CHAR;

#define PROMPT_PREFIX_CHARS 6

// Answers 1 when an entry of the block begins with "prompt" (ASCII letters
// compared without regard to case), else 0. The walk ends at the first empty
// entry, even when that is the first one. Never looks at block[characters]
// or beyond: an entry cut by the end of the buffer is compared on the
// characters inside it, and the walk stops there.
int ContainsPromptEntry(const ENV_CHAR* block, size_t characters);

// The same walk; on a match also gives where the first matching entry starts
// and how many characters it has up to its terminating zero (or to the end
// of the buffer, for an entry the buffer cuts).
int FindPromptEntryInBlock(const ENV_CHAR* block, size_t characters, size_t* start, size_t* length);

#endif
