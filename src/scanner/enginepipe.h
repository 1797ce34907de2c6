// The name of the pipe every process that starts a PowerShell engine opens:
// "PSHost.<start time>.<pid>.<app domain>.<process name>". The time is the
// process's start as a FILETIME in decimal, the app domain has its ':' and
// ' ' taken out, and both it and the process name may hold dots. Any process
// can open a pipe of any name, so the name is untrusted text: it only says
// which process to compare with the system's list. Kept free of windows.h so
// that it can be built and fuzzed natively.
#ifndef MURKSCOPE_ENGINEPIPE_H
#define MURKSCOPE_ENGINEPIPE_H

#include <stddef.h>

// One UTF-16 code unit of a pipe name.
typedef unsigned short PIPE_CHAR;

// The longest pipe name taken (longer ones are no engine pipe).
#define ENGINE_PIPE_NAME_CHARS 256

typedef struct ENGINE_PIPE_NAME {
    unsigned long long started;  // the FILETIME of the name
    unsigned long processId;
} ENGINE_PIPE_NAME;

// 1 when the chars code units at name (not terminated; the pipe's name as a
// directory listing of \\.\pipe\ gives it, without the \\.\pipe\ prefix) are
// a PowerShell host's pipe name, with its time and pid in *parsed; 0 for
// anything else, and *parsed is then left untouched. Taken strictly:
// "PSHost." exactly as written; a time of decimal digits without a leading
// zero, 1 to 0x7FFFFFFFFFFFFFFF; '.'; a pid of decimal digits without a
// leading zero, 1 to 0xFFFFFFFF; '.'; then at least two non-empty parts
// joined by single dots (the app domain and the process name, which cannot
// be told apart when either holds a dot). No zero code unit anywhere.
// chars of 0 or over ENGINE_PIPE_NAME_CHARS, a NULL name or parsed: 0.
// Never looks at name[chars] or beyond.
int ParseEnginePipeName(const PIPE_CHAR* name, size_t chars, ENGINE_PIPE_NAME* parsed);

#endif
