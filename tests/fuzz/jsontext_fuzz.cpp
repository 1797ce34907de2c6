// libFuzzer target for the JSON text writer, built natively with clang and
// the address and undefined-behaviour sanitizers. The input is UTF-16LE text
// (an odd last byte is dropped), as a target's name, path or command line
// may hold it: lone surrogates, control characters, quotes. The writer's
// pieces are joined into a JSON string exactly as the tool prints them, and
// a strict reader here must take it back: shortest-form UTF-8 without
// surrogates, no raw control character, only JSON's escapes, and the text it
// reads must be the input with each lone surrogate replaced by U+FFFD.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "jsontext.h"

namespace {

const uint32_t REPLACEMENT = 0xFFFD;

// The code points the output must carry.
std::vector<uint32_t> ExpectedCodes(const std::vector<uint16_t>& units)
{
    std::vector<uint32_t> codes;
    for (size_t index = 0; index < units.size(); index++) {
        uint32_t unit = units[index];
        if (unit >= 0xD800 && unit <= 0xDBFF && index + 1 < units.size() && units[index + 1] >= 0xDC00 &&
            units[index + 1] <= 0xDFFF) {
            codes.push_back(0x10000 + ((unit - 0xD800) << 10) + (units[index + 1] - 0xDC00u));
            index++;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            codes.push_back(REPLACEMENT);
        } else {
            codes.push_back(unit);
        }
    }
    return codes;
}

int HexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

// One UTF-8 sequence at text[*at], strictly: 1 with its code point.
int ReadUtf8(const std::string& text, size_t* at, uint32_t* code)
{
    unsigned char first = (unsigned char)text[*at];
    size_t length = first < 0x80 ? 1 : (first & 0xE0) == 0xC0 ? 2 : (first & 0xF0) == 0xE0 ? 3
                                     : (first & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || *at + length > text.size())
        return 0;
    uint32_t value = length == 1 ? first : first & (0x7F >> length);
    for (size_t index = 1; index < length; index++) {
        unsigned char next = (unsigned char)text[*at + index];
        if ((next & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    static const uint32_t SMALLEST[5] = {0, 0, 0x80, 0x800, 0x10000};
    if ((length > 1 && value < SMALLEST[length]) || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *at += length;
    *code = value;
    return 1;
}

// Reads the whole of text as one JSON string; 1 with its code points.
int ReadJsonString(const std::string& text, std::vector<uint32_t>* codes, const char** fault)
{
    if (text.size() < 2 || text[0] != '"' || text[text.size() - 1] != '"') {
        *fault = "not enclosed in quotes";
        return 0;
    }
    size_t at = 1;
    size_t end = text.size() - 1;
    while (at < end) {
        unsigned char byte = (unsigned char)text[at];
        if (byte == '"') {
            *fault = "a quote inside";
            return 0;
        }
        if (byte < 0x20) {
            *fault = "a raw control character";
            return 0;
        }
        if (byte != '\\') {
            uint32_t code = 0;
            if (!ReadUtf8(text, &at, &code) || at > end) {
                *fault = "not shortest-form UTF-8 without surrogates";
                return 0;
            }
            codes->push_back(code);
            continue;
        }
        if (at + 1 >= end) {
            *fault = "a backslash at the end";
            return 0;
        }
        char letter = text[at + 1];
        const char* simple = "\"\\/bfnrt";
        const char* meant = "\"\\/\b\f\n\r\t";
        size_t which = 0;
        while (simple[which] != 0 && simple[which] != letter)
            which++;
        if (simple[which] != 0) {
            codes->push_back((unsigned char)meant[which]);
            at += 2;
            continue;
        }
        if (letter != 'u' || at + 6 > end) {
            *fault = "an escape JSON does not have";
            return 0;
        }
        uint32_t code = 0;
        for (size_t index = 2; index < 6; index++) {
            int digit = HexValue(text[at + index]);
            if (digit < 0) {
                *fault = "a \\u escape without four hex digits";
                return 0;
            }
            code = code * 16 + (uint32_t)digit;
        }
        // The writer escapes nothing above the control characters, so a
        // surrogate here could only be half of a character.
        if (code >= 0xD800 && code <= 0xDFFF) {
            *fault = "an escaped surrogate";
            return 0;
        }
        codes->push_back(code);
        at += 6;
    }
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t characters = size / 2;
    // An exact-size copy: a look past the last unit is caught.
    uint16_t* text = (uint16_t*)malloc(characters * 2 + (characters == 0 ? 1 : 0));
    if (text == NULL)
        return 0;
    std::vector<uint16_t> units(characters);
    for (size_t index = 0; index < characters; index++)
        units[index] = text[index] = (uint16_t)(data[2 * index] | (data[2 * index + 1] << 8));

    // As the tool's PrintJsonText joins the pieces.
    std::string written = "\"";
    size_t index = 0;
    while (index < characters) {
        char piece[JSON_PIECE_BYTES + 1];
        piece[JSON_PIECE_BYTES] = '\x7f';
        size_t taken = 0;
        size_t bytes = EncodeJsonPiece(text[index], index + 1 < characters ? text[index + 1] : 0, piece, &taken);
        if (bytes == 0 || bytes > JSON_PIECE_BYTES || piece[JSON_PIECE_BYTES] != '\x7f' || taken < 1 ||
            taken > characters - index) {
            fprintf(stderr, "MISMATCH: unit %zu of %zu gave %zu bytes and took %zu units\n", index, characters,
                    bytes, taken);
            abort();
        }
        written.append(piece, bytes);
        index += taken;
    }
    written += "\"";
    free(text);

    std::vector<uint32_t> codes;
    const char* fault = "";
    int read = ReadJsonString(written, &codes, &fault);
    if (!read || codes != ExpectedCodes(units)) {
        fprintf(stderr, "MISMATCH: %s (%zu units in, %zu bytes out):", read ? "the text read back differs" : fault,
                characters, written.size());
        for (size_t unit = 0; unit < characters && unit < 32; unit++)
            fprintf(stderr, " %04x", units[unit]);
        fprintf(stderr, "\n");
        abort();
    }
    return 0;
}
