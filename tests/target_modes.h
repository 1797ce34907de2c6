// Mode arguments of the test target: each names the environment the target
// arranges for itself before it reports ready.
#ifndef MURKSCOPE_TARGET_MODES_H
#define MURKSCOPE_TARGET_MODES_H

#define MODE_UNCHANGED "unchanged"
#define MODE_PROMPT_FIRST "prompt-first"
#define MODE_PROMPT_LOWER_SECOND "prompt-lower-second"
#define MODE_BARE_PROMPT "bare-prompt"
#define MODE_PROMPTX "promptx"
#define MODE_NEAR_MISSES "near-misses"
#define MODE_EQUALS_FIRST "equals-first"
#define MODE_EMPTY "empty"
#define MODE_LEADING_EMPTY "leading-empty"
#define MODE_NO_PROMPT "no-prompt"
#define MODE_FILLED_NO_PROMPT "filled-no-prompt"
#define MODE_FILLED_CUT_PROMPT "filled-cut-prompt"
#define MODE_ENV_NOACCESS "env-noaccess"
#define MODE_ENV_EXECUTE "env-execute"
#define MODE_ENV_UNMAPPED "env-unmapped"
#define MODE_ENV_GUARD "env-guard"  // a prompt block in a read-write guard page
#define MODE_PARAMETERS_NOACCESS "parameters-noaccess"
#define MODE_PARAMETERS_UNMAPPED "parameters-unmapped"
#define MODE_SMALL_REGION "small-region"
#define MODE_REGION_END "region-end"
#define MODE_LONG_PATH "long-path"
#define MODE_PROMPT_PAST_BUFFER "prompt-past-buffer"
#define MODE_PROMPT_AT_BUFFER_END "prompt-at-buffer-end"
#define MODE_FOUR_GIB "four-gib"
#define MODE_PROMPT_PAST_CEILING "prompt-past-ceiling"

// A 32-bit view built in the target's own memory below 4 GiB, as a WOW64
// process has one: a PEB32-like record, 32-bit process parameters and a
// block. The target writes the record's address (8 bytes) after its ready
// byte; tests hand it to the reader through a replacement of the
// ProcessWow64Information query. Unless a mode says otherwise the 64-bit
// view holds no prompt entry and the 32-bit one holds PROMPT=$P$G.
#define MODE_WOW64_PROMPT_32 "wow64-prompt-32"
#define MODE_WOW64_PROMPT_64 "wow64-prompt-64"  // prompt in the 64-bit view only
#define MODE_WOW64_NEITHER "wow64-neither"
#define MODE_WOW64_PARAMETERS_NOACCESS "wow64-parameters-noaccess"
#define MODE_WOW64_PARAMETERS_UNMAPPED "wow64-parameters-unmapped"
#define MODE_WOW64_ENV_NOACCESS "wow64-env-noaccess"
#define MODE_WOW64_ENV_UNMAPPED "wow64-env-unmapped"
#define MODE_WOW64_REGION_END "wow64-region-end"  // block 64 bytes before its region's end
// The prompt in the 64-bit view and the 32-bit parameters in no-access memory.
#define MODE_WOW64_PROMPT_64_PARAMETERS_NOACCESS "wow64-prompt-64-parameters-noaccess"
// What the 32-bit parameters of every wow64 mode hold besides the block: a
// hidden start without standard handles.
#define WOW64_COMMAND_LINE "C:\\Windows\\SysWOW64\\cmd.exe /k"
#define WOW64_DIRECTORY "C:\\wow64\\"

// A prompt entry first, and the command line and current directory of the
// target's own process parameters both made unreadable in one way: an odd
// length, a length above the maximum, a pointer into no-access or unmapped
// memory; or pointing 64 bytes before the end of their region (the 32
// characters there are what can be read), or at the longest text a length
// can give, 32767 characters.
#define MODE_STRINGS_ODD "strings-odd"
#define MODE_STRINGS_OVER_MAX "strings-over-max"
#define MODE_STRINGS_NOACCESS "strings-noaccess"
#define MODE_STRINGS_UNMAPPED "strings-unmapped"
#define MODE_STRINGS_REGION_END "strings-region-end"
#define MODE_STRINGS_HUGE "strings-huge"
// A prompt entry first, and the same two strings left readable but put in
// the form of parameters the loader has not normalised yet: the record's
// normalised flag cleared and both buffers offsets from the record.
#define MODE_STRINGS_OFFSETS "strings-offsets"
#define STRINGS_REGION_END_TEXT "0123456789abcdefghijklmnopqrstuv"
#define STRINGS_HUGE_CHARACTER 'x'

// A prompt entry first, and the full and base names of the target's own
// entry in its loader list rewritten to FORGED_PATH: a false path, then CR
// and LF and a record of a process that does not exist.
#define MODE_FORGED_PATH "forged-path"
#define FORGED_PATH                                                                                              \
    "C:\\Windows\\explorer.exe;\r\n\r\n\r\n Process ID=4; Parent Process ID=0; Process Name=System; User Name=SYSTEM; " \
    "Process Path=C:\\Windows\\System32\\ntoskrnl.exe"

// Starts a prompt-first copy of itself that shares its standard handles,
// then ends at once: the copy's parent is gone before any scan.
#define MODE_ORPHAN "orphan"
// The same, but stays until its input closes (which ends the copy too): a
// launcher whose own image name and path its child's signs are about.
#define MODE_LAUNCHER "launcher"
// The launcher's way, but with one handle as the copy's standard input,
// output and error, as a reverse shell is started: a connected loopback TCP
// socket, or the client end of a duplex named pipe. The target keeps the
// other end, reports ready once the copy's ready byte came through it, and
// its end closes with it, which ends the copy.
#define MODE_SOCKET_LAUNCHER "socket-launcher"
#define MODE_DUPLEX_LAUNCHER "duplex-launcher"
// No prompt entry when it reports ready; PROMPT=$P$G 500 ms later, as a
// shell sets its own while it starts.
#define MODE_LATE_PROMPT "late-prompt"
#define LATE_PROMPT_MILLISECONDS 500

// Byte offsets of the prompt entry in the modes that probe the end of the
// reader's first 64 KiB read (one entirely past it, one cut by it) and the
// 16 MiB it reads of a block at most.
#define PROMPT_PAST_BUFFER_AT (65536 + 64)
#define PROMPT_AT_BUFFER_END_AT (65536 - 20)
#define PROMPT_PAST_CEILING_AT (16 * 1024 * 1024 + 64)

// A prompt entry first, and the PEB's image address pointed at an image the
// target built and mapped as an image itself: one whose version data names
// Cmd.Exe, one whose RT_VERSION holds a decoy named with a string before
// that id 1, and broken or hostile copies that must never name anything: a
// resource directory pointing back at itself, absurd entry counts and data
// size, an unterminated name, a name of 261 characters, NT headers far
// outside the image, the whole image in no-access memory, an unmapped
// address, and the Cmd.Exe image in private memory, which no system mapped.
#define MODE_IMAGE_CMD "image-cmd"
#define MODE_IMAGE_SELF_DIRECTORY "image-self-directory"
#define MODE_IMAGE_ABSURD_SIZES "image-absurd-sizes"
#define MODE_IMAGE_UNTERMINATED "image-unterminated"
#define MODE_IMAGE_LONG_NAME "image-long-name"
#define MODE_IMAGE_NT_OUTSIDE "image-nt-outside"
#define MODE_IMAGE_NOACCESS "image-noaccess"
#define MODE_IMAGE_UNMAPPED "image-unmapped"
#define MODE_IMAGE_NAMED_FIRST "image-named-first"
#define MODE_IMAGE_PRIVATE "image-private"
// "write-images FOLDER": writes the readable ones into FOLDER, one file each
// (the version-data fuzzer's starting inputs), and ends.
#define MODE_WRITE_IMAGES "write-images"

// A prompt entry first, and windows of the target's own as a console host
// makes them: a visible console window, a pseudo console's window with no
// owner, and one owned by a visible window, as a terminal owns it.
#define MODE_WINDOW_CONSOLE "window-console"
#define MODE_WINDOW_PSEUDO "window-pseudo"
#define MODE_WINDOW_PSEUDO_OWNED "window-pseudo-owned"

// A pseudo console of the target's own with a real cmd.exe in it, and a
// loopback connection held; the target writes the shell's id (4 bytes)
// after its ready byte, and ends the shell when its input closes.
#define MODE_PSEUDO_CONSOLE "pseudo-console"

#define TARGET_PROGRAM "murk_target.exe"
// The target built with a version resource that names it Cmd.Exe.
#define CMDLIKE_PROGRAM "murk_cmdlike.exe"

#endif
