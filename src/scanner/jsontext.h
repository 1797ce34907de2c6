// JSON string text from UTF-16 that a target process controls: names, paths,
// command lines, environment entries. Kept free of windows.h so that it can
// be built and fuzzed natively. Whatever the input (lone surrogates, control
// characters, quotes), what it writes is valid UTF-8 JSON.
#ifndef MURKSCOPE_JSONTEXT_H
#define MURKSCOPE_JSONTEXT_H

#include <stddef.h>

// The longest piece one character can give: "\u001f" is 6 bytes, a code
// point above U+FFFF 4.
#define JSON_PIECE_BYTES 8

// The character that starts with the code unit unit, as it stands inside a
// JSON string, written into piece (JSON_PIECE_BYTES); answers how many bytes
// it took. next is the unit after it (0 at the text's end): a high surrogate
// followed by a low one is one character, and *unitsTaken is then 2, else 1.
// A lone surrogate is written as U+FFFD. Quotes, backslashes and control
// characters are escaped.
size_t EncodeJsonPiece(unsigned int unit, unsigned int next, char* piece, size_t* unitsTaken);

#endif
