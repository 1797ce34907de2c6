// Parses the name of a PowerShell host's pipe, as listed in \\.\pipe\. The
// name is taken only when it has exactly the shape PowerShell gives it: a
// near miss is some other program's pipe, and its numbers would name the
// wrong process.
#include "enginepipe.h"

#define ENGINE_PIPE_PREFIX_CHARS 7
// ToFileTime gives a signed 64-bit value, and never a negative one.
#define ENGINE_PIPE_LATEST_TIME 0x7FFFFFFFFFFFFFFFull
#define ENGINE_PIPE_LARGEST_ID 0xFFFFFFFFull

static const PIPE_CHAR ENGINE_PIPE_PREFIX[ENGINE_PIPE_PREFIX_CHARS] = {'P', 'S', 'H', 'o', 's', 't', '.'};

// The decimal number at name[*at], ended by a '.' inside the name; 1 with
// its value, *at then past the '.'. PowerShell writes the numbers without a
// leading zero, and neither a time nor a pid is 0, so the first digit must be
// 1 to 9; the largest value then also bounds the digits (19 for the time, 10
// for the pid). A value over largest is no number, not a wrapped one.
static int ReadNumberField(const PIPE_CHAR* name, size_t chars, size_t* at, unsigned long long largest,
                           unsigned long long* value)
{
    size_t position = *at;
    if (position >= chars || name[position] < '1' || name[position] > '9')
        return 0;
    unsigned long long number = 0;
    while (position < chars && name[position] >= '0' && name[position] <= '9') {
        unsigned long long digit = (unsigned long long)(name[position] - '0');
        // number * 10 + digit <= largest, asked without overflowing.
        if (number > (largest - digit) / 10)
            return 0;
        number = number * 10 + digit;
        position++;
    }
    if (position >= chars || name[position] != '.')
        return 0;
    *value = number;
    *at = position + 1;
    return 1;
}

int ParseEnginePipeName(const PIPE_CHAR* name, size_t chars, ENGINE_PIPE_NAME* parsed)
{
    if (name == NULL || parsed == NULL || chars == 0 || chars > ENGINE_PIPE_NAME_CHARS ||
        chars < ENGINE_PIPE_PREFIX_CHARS)
        return 0;
    // Case and all: PowerShell writes the prefix one way only.
    for (size_t index = 0; index < ENGINE_PIPE_PREFIX_CHARS; index++) {
        if (name[index] != ENGINE_PIPE_PREFIX[index])
            return 0;
    }
    size_t at = ENGINE_PIPE_PREFIX_CHARS;
    unsigned long long started = 0;
    unsigned long long processId = 0;
    if (!ReadNumberField(name, chars, &at, ENGINE_PIPE_LATEST_TIME, &started) ||
        !ReadNumberField(name, chars, &at, ENGINE_PIPE_LARGEST_ID, &processId))
        return 0;

    // The app domain and the process name may both hold dots, so where one
    // ends is unknown; what is known is that neither is empty. So the rest
    // neither begins nor ends with a dot, holds one, and no dot follows
    // another. The listing would end the name at a zero unit: one inside
    // the given length is a forged or broken name.
    if (at >= chars || name[at] == '.' || name[chars - 1] == '.')
        return 0;
    int dotted = 0;
    for (size_t index = at; index < chars; index++) {
        if (name[index] == 0)
            return 0;
        if (name[index] == '.') {
            // index > at here, since name[at] is no dot.
            if (name[index - 1] == '.')
                return 0;
            dotted = 1;
        }
    }
    if (!dotted)
        return 0;
    parsed->started = started;
    parsed->processId = (unsigned long)processId;
    return 1;
}
