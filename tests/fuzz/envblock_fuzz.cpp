// libFuzzer target for the environment-block walk, built natively with clang
// and the address and undefined-behaviour sanitizers. The input is a block in
// UTF-16LE bytes (an odd last byte is dropped). It is copied into a heap
// buffer of exactly its size, so that any read past the end is caught, and the
// walk's answer is compared with an independent model of the rule.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "envblock.h"

namespace {

const char PROMPT_TEXT[] = "prompt";
const size_t PROMPT_CHARS = 6;

ENV_CHAR FoldLetter(ENV_CHAR character)
{
    return character >= 'A' && character <= 'Z' ? (ENV_CHAR)(character - 'A' + 'a') : character;
}

// The rule, written out entry by entry: entries are separated by zero
// characters; an empty entry or the end of the buffer ends the block; an
// entry matches when its first six characters fold to "prompt", and an entry
// cut by the end of the buffer only has the characters inside it. Answers
// as the walk does: a match, the empty entry, or the buffer's end first.
int ModelAnswer(const std::vector<ENV_CHAR>& block, size_t* matchStart, size_t* matchLength)
{
    size_t start = 0;
    while (start < block.size()) {
        size_t end = start;
        while (end < block.size() && block[end] != 0)
            end++;
        size_t length = end - start;
        if (length == 0)
            return BLOCK_NO_PROMPT;
        if (length >= PROMPT_CHARS) {
            size_t index = 0;
            while (index < PROMPT_CHARS && FoldLetter(block[start + index]) == (ENV_CHAR)PROMPT_TEXT[index])
                index++;
            if (index == PROMPT_CHARS) {
                *matchStart = start;
                *matchLength = length;
                return BLOCK_PROMPT;
            }
        }
        start = end + 1;
    }
    return BLOCK_UNENDED;
}

void PrintBlock(const std::vector<ENV_CHAR>& block)
{
    size_t shown = block.size() < 64 ? block.size() : 64;
    fprintf(stderr, "block of %zu characters:", block.size());
    for (size_t index = 0; index < shown; index++)
        fprintf(stderr, " %04x", block[index]);
    fprintf(stderr, shown < block.size() ? " ...\n" : "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t characters = size / sizeof(ENV_CHAR);
    std::vector<ENV_CHAR> model(characters);
    for (size_t index = 0; index < characters; index++)
        model[index] = (ENV_CHAR)(data[2 * index] | (data[2 * index + 1] << 8));

    // A buffer of its own with nothing after it: the sanitizer stops any
    // look past the last character (even for an empty block).
    ENV_CHAR* block = (ENV_CHAR*)malloc(characters * sizeof(ENV_CHAR) + (characters == 0 ? 1 : 0));
    if (block == NULL)
        return 0;
    for (size_t index = 0; index < characters; index++)
        block[index] = model[index];

    size_t start = 0;
    size_t length = 0;
    int walked = WalkEnvironmentBlock(block, characters, &start, &length);
    free(block);

    size_t expectedStart = 0;
    size_t expectedLength = 0;
    int expected = ModelAnswer(model, &expectedStart, &expectedLength);
    if (walked != expected || (expected == BLOCK_PROMPT && (start != expectedStart || length != expectedLength))) {
        fprintf(stderr, "MISMATCH: WalkEnvironmentBlock answered %d (entry at %zu, %zu characters), the model %d "
                        "(at %zu, %zu)\n",
                walked, start, length, expected, expectedStart, expectedLength);
        PrintBlock(model);
        abort();
    }
    return 0;
}
