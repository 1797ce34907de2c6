// libFuzzer target for the engine pipe names, built natively with clang and
// the address and undefined-behaviour sanitizers. The input is read three
// ways: as UTF-16LE code units (an odd last byte is dropped), as one code
// unit per byte (so that the fuzzer's byte-wise mutations and comparisons
// reach the digits and dots), and as one unit per byte after "PSHost." (so
// that most inputs get past the prefix to the numbers and the rest). Each
// name is parsed from an exact-size heap copy, so that a look past its end is
// caught, and the answer is compared with a model here that splits the name
// at its dots first and then checks the parts, numbers compared as digit
// strings.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "enginepipe.h"

namespace {

typedef std::vector<PIPE_CHAR> Units;

const char MODEL_PREFIX[] = "PSHost.";
const char LATEST_TIME_DIGITS[] = "9223372036854775807";  // 0x7FFFFFFFFFFFFFFF
const char LARGEST_ID_DIGITS[] = "4294967295";            // 0xFFFFFFFF
const unsigned long long UNTOUCHED_STARTED = 0xA5A5A5A5A5A5A5A5ull;
const unsigned long UNTOUCHED_ID = 0x5A5A5A5Aul;

// 1 when part is a decimal number from 1 to the value written in largest:
// digits only, no leading zero, and as a digit string no greater (fewer
// digits, or as many and not after it in order).
int ModelNumber(const Units& part, const char* largest, unsigned long long* value)
{
    std::string digits(part.begin(), part.end());
    if (part.empty() || part[0] == '0' || digits.size() > strlen(largest) ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() == strlen(largest) && digits > largest))
        return 0;
    for (size_t index = 0; index < part.size(); index++)
        if (part[index] > 0x7F)
            return 0;
    *value = strtoull(digits.c_str(), NULL, 10);
    return 1;
}

// The rule, part by part: the name split at every dot must give "PSHost",
// the time, the pid and at least two more parts, none of them empty.
int ModelParse(const Units& name, ENGINE_PIPE_NAME* parsed)
{
    if (name.empty() || name.size() > ENGINE_PIPE_NAME_CHARS)
        return 0;
    for (size_t index = 0; index < name.size(); index++) {
        if (name[index] == 0)
            return 0;
    }
    std::vector<Units> parts(1);
    for (size_t index = 0; index < name.size(); index++) {
        if (name[index] == '.')
            parts.push_back(Units());
        else
            parts.back().push_back(name[index]);
    }
    if (parts.size() < 5)
        return 0;
    Units prefix(MODEL_PREFIX, MODEL_PREFIX + strlen(MODEL_PREFIX) - 1);
    if (parts[0] != prefix)
        return 0;
    for (size_t index = 3; index < parts.size(); index++) {
        if (parts[index].empty())
            return 0;
    }
    unsigned long long started = 0;
    unsigned long long processId = 0;
    if (!ModelNumber(parts[1], LATEST_TIME_DIGITS, &started) || !ModelNumber(parts[2], LARGEST_ID_DIGITS, &processId))
        return 0;
    parsed->started = started;
    parsed->processId = (unsigned long)processId;
    return 1;
}

// Parses name from a buffer of exactly its size and compares with the model;
// also that a refused name leaves the answer as it was.
void CheckName(const Units& name)
{
    PIPE_CHAR* copy = (PIPE_CHAR*)malloc(name.size() * sizeof(PIPE_CHAR) + (name.empty() ? 1 : 0));
    if (copy == NULL)
        return;
    for (size_t index = 0; index < name.size(); index++)
        copy[index] = name[index];
    ENGINE_PIPE_NAME parsed;
    parsed.started = UNTOUCHED_STARTED;
    parsed.processId = UNTOUCHED_ID;
    int answer = ParseEnginePipeName(copy, name.size(), &parsed);
    free(copy);

    ENGINE_PIPE_NAME expected;
    expected.started = UNTOUCHED_STARTED;
    expected.processId = UNTOUCHED_ID;
    int expectedAnswer = ModelParse(name, &expected);
    if (answer != expectedAnswer || parsed.started != expected.started || parsed.processId != expected.processId) {
        fprintf(stderr, "MISMATCH: ParseEnginePipeName answered %d (time %llu, pid %lu), the model %d (time %llu, "
                        "pid %lu)\n",
                answer, parsed.started, parsed.processId, expectedAnswer, expected.started, expected.processId);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Units wide(size / 2);
    for (size_t index = 0; index < wide.size(); index++)
        wide[index] = (PIPE_CHAR)(data[2 * index] | (data[2 * index + 1] << 8));
    CheckName(wide);

    Units narrow(data, data + size);
    CheckName(narrow);

    Units prefixed(MODEL_PREFIX, MODEL_PREFIX + strlen(MODEL_PREFIX));
    prefixed.insert(prefixed.end(), data, data + size);
    CheckName(prefixed);

    return 0;
}
