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

#endif
