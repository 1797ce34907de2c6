// The walk over an environment block held in a local buffer. Kept free of
// windows.h so that it can be built and fuzzed natively.
#ifndef MURKSCOPE_ENVBLOCK_H
#define MURKSCOPE_ENVBLOCK_H

#include <stddef.h>

// One UTF-16 code unit of an environment block.
typedef unsigned short ENV_CHAR;

#define PROMPT_PREFIX_CHARS 6

// How a walk over a buffer ended.
#define BLOCK_NO_PROMPT 0  // at the empty entry that ends the block, no entry matching
#define BLOCK_PROMPT 1     // at the first entry that begins with "prompt"
#define BLOCK_UNENDED 2    // at the buffer's end, before the block's end and without a match

// Walks the block's entries: an entry matches when it begins with "prompt"
// (ASCII letters compared without regard to case). The walk ends at the
// first empty entry, even when that is the first one. Never looks at
// block[characters] or beyond: an entry cut by the end of the buffer is
// compared on the characters inside it. On a match also gives where the
// entry starts and how many characters it has up to its terminating zero
// (or to the end of the buffer, for an entry the buffer cuts).
int WalkEnvironmentBlock(const ENV_CHAR* block, size_t characters, size_t* start, size_t* length);

#endif
