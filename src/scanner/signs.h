// The signs of a shell: its evidence in words, each only when it holds, in
// a fixed order. Facts for a responder to weigh, not verdicts.
#ifndef MURKSCOPE_SIGNS_H
#define MURKSCOPE_SIGNS_H

#include "report.h"

// Started with STARTF_USESHOWWINDOW and SW_HIDE; with STARTF_USESTDHANDLES;
// with STARTF_USESTDHANDLES and one non-zero handle as standard input,
// output and error.
int WasStartedHidden(const SHELL_EVIDENCE* evidence);
int HasRedirectedStdio(const SHELL_EVIDENCE* evidence);
int HasOneStdioHandle(const SHELL_EVIDENCE* evidence);

// The parent sign of a parent's image (its file name, and its path for the
// rules that need it), or NULL.
const char* NameParentSign(const WCHAR* name, size_t nameChars, const WCHAR* path);

// Fills report->signs from everything else the report holds.
void NameShellSigns(SHELL_REPORT* report);

#endif
