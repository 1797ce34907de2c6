// Mode arguments of the hostile target. Each "-clean" mode fights the reader
// the same way as its partner, but no memory it ever offers as a block holds
// the character 't' or 'T', nor a byte 0x54 or 0x74 in its garbage: whatever
// a torn or misaligned read delivers, no entry can begin with "prompt", so
// the scan must never list the process.
#ifndef MURKSCOPE_HOSTILE_MODES_H
#define MURKSCOPE_HOSTILE_MODES_H

// Flips the protection of its environment pages (read-write, no access,
// execute, read-only, one page of two, the second page decommitted).
#define HOSTILE_FLIP "flip"
#define HOSTILE_FLIP_CLEAN "flip-clean"
// Swaps its environment pointer, and its process parameters pointer, between
// blocks, null, reserved, unmapped, unreadable, misaligned and non-canonical
// addresses (and, in the dirty mode, pointers torn between two of them).
#define HOSTILE_SWAP "swap"
#define HOSTILE_SWAP_CLEAN "swap-clean"
// Rewrites its block in place: entries with and without prompt, garbage
// without any terminator over its whole 68 KiB region, a prompt entry cut by
// the reader's buffer end, all zero.
#define HOSTILE_REWRITE "rewrite"
#define HOSTILE_REWRITE_CLEAN "rewrite-clean"
// Creates short-lived children ("exit" mode) as fast as it can, with a
// PROMPT entry in their environment or (clean) without one.
#define HOSTILE_CHURN "churn"
#define HOSTILE_CHURN_CLEAN "churn-clean"
// Keeps its prompt entry and rewrites the command line and current directory
// strings of its process parameters: lengths valid, odd, above the maximum
// and the longest possible; pointers to a page of lower-case pattern, one of
// upper case, a no-access page, unmapped memory and 64 bytes before a
// region's end; and the lower-case page's text turning upper case under the
// reader. Character i of every text it offers is STRINGS_PATTERN(i, 0) or
// STRINGS_PATTERN(i, 1), so what a reader takes in is null or matches that.
#define HOSTILE_STRINGS "strings"
#define STRINGS_PATTERN(index, upper) ((char)(((upper) ? 'A' : 'a') + (index) % 26))

// Ends at once: the churn's children.
#define HOSTILE_EXIT "exit"

#define HOSTILE_PROGRAM "hostile_target.exe"

#endif
