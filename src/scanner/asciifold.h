// The one rule by which the tool compares texts without regard to case
// (options, the \SystemRoot\ prefix, environment entries): only the ASCII
// letters A-Z fold to a-z. Free of windows.h, like the block walk.
#ifndef MURKSCOPE_ASCIIFOLD_H
#define MURKSCOPE_ASCIIFOLD_H

static inline unsigned int FoldAsciiLetter(unsigned int character)
{
    return character >= 'A' && character <= 'Z' ? character + ('a' - 'A') : character;
}

#endif
