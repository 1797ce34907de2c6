// Encodes UTF-16 text for a JSON string, one character at a time.
#include "jsontext.h"

#define REPLACEMENT_CHARACTER 0xFFFDu

static const char HEX_DIGITS[] = "0123456789abcdef";

static size_t EncodeUtf8(unsigned int code, char* piece)
{
    if (code < 0x80) {
        piece[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        piece[0] = (char)(0xC0 | (code >> 6));
        piece[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        piece[0] = (char)(0xE0 | (code >> 12));
        piece[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        piece[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    piece[0] = (char)(0xF0 | (code >> 18));
    piece[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    piece[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    piece[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

static size_t EncodeEscape(char letter, char* piece)
{
    piece[0] = '\\';
    piece[1] = letter;
    return 2;
}

size_t EncodeJsonPiece(unsigned int unit, unsigned int next, char* piece, size_t* unitsTaken)
{
    unsigned int code = unit & 0xFFFF;
    *unitsTaken = 1;
    if (code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
        *unitsTaken = 2;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
        code = REPLACEMENT_CHARACTER;
    }
    switch (code) {
    case '"':
        return EncodeEscape('"', piece);
    case '\\':
        return EncodeEscape('\\', piece);
    case '\b':
        return EncodeEscape('b', piece);
    case '\f':
        return EncodeEscape('f', piece);
    case '\n':
        return EncodeEscape('n', piece);
    case '\r':
        return EncodeEscape('r', piece);
    case '\t':
        return EncodeEscape('t', piece);
    default:
        break;
    }
    if (code >= 0x20)
        return EncodeUtf8(code, piece);
    piece[0] = '\\';
    piece[1] = 'u';
    piece[2] = '0';
    piece[3] = '0';
    piece[4] = HEX_DIGITS[code >> 4];
    piece[5] = HEX_DIGITS[code & 0xF];
    return 6;
}
