#include "envblock.h"

#include "asciifold.h"

static const ENV_CHAR PROMPT_PREFIX[PROMPT_PREFIX_CHARS] = {'p', 'r', 'o', 'm', 'p', 't'};

int WalkEnvironmentBlock(const ENV_CHAR* block, size_t characters, size_t* start, size_t* length)
{
    // An empty entry ends the block, the first one included: whatever lies
    // after "\0\0" (or after a leading "\0") is not part of the environment.
    size_t position = 0;
    while (position < characters && block[position] != 0) {
        // Compare at most six characters, stopping at the entry's end or the
        // buffer's end, whichever comes first.
        size_t matched = 0;
        while (matched < PROMPT_PREFIX_CHARS && position + matched < characters &&
               FoldAsciiLetter(block[position + matched]) == PROMPT_PREFIX[matched])
            matched++;
        size_t entryStart = position;
        while (position < characters && block[position] != 0)
            position++;
        if (matched == PROMPT_PREFIX_CHARS) {
            *start = entryStart;
            *length = position - entryStart;
            return BLOCK_PROMPT;
        }
        position++;  // past the entry's terminating zero
    }
    return position < characters ? BLOCK_NO_PROMPT : BLOCK_UNENDED;
}
