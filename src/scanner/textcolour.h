// The console colours of the block, line and XML layouts.
#ifndef MURKSCOPE_TEXTCOLOUR_H
#define MURKSCOPE_TEXTCOLOUR_H

#include <windows.h>

// Colour values handed to SetTextColor; it adds the intensity bit.
#define COLOR_GREEN 2
#define COLOR_RED 4
#define COLOR_WHITE 7

WORD GetTextAttributes(void);
// Each flushes standard output first, so that what was printed before shows
// in the colour set before it.
void SetTextColor(WORD value);
void RestoreTextAttributes(WORD value);
// Puts saved back when Ctrl+C or Ctrl+Break ends the run during a scan, and
// sets no colour after that. The key wait handles those keys itself.
void RestoreAttributesOnControl(WORD saved);

#endif
