// Whether a shell's console window can be seen now: the console windows of
// every desktop of the tool's window station, read once per process list,
// each shell mapped to the window of its console, and that window looked at
// (shown, minimised, on a monitor, of a size, opaque, not cloaked). user32
// and dwmapi are loaded from System32 at the first look, in -j and -w only.
#ifndef MURKSCOPE_CONSOLEWINDOW_H
#define MURKSCOPE_CONSOLEWINDOW_H

#include <windows.h>

#include "family.h"
#include "processlist.h"

// The desktops of one window station taken, and the longest name kept.
#define WINDOW_DESKTOPS_MAX 32
#define DESKTOP_NAME_CHARS 256
// The console windows kept of one read: far above what any session holds;
// a read that meets more counts as not read.
#define CONSOLE_WINDOWS_MAX 65536
// Narrower or lower than this, a window shows nothing readable.
#define WINDOW_SMALLEST_PIXELS 16
// Below this alpha a layered window cannot be read; the console host never
// sets less itself.
#define WINDOW_LEAST_ALPHA 0x4D

// One console window of the read.
typedef struct CONSOLE_WINDOW {
    HWND window;
    DWORD processId;  // as GetWindowThreadProcessId gives it
    int kind;         // index into the table of console window classes
    DWORD desktop;    // index into the read's desktops
} CONSOLE_WINDOW;

typedef struct WINDOW_LIST {
    int read;       // every desktop that could be opened was walked
    DWORD session;  // the tool's own
    int foundInputDesktop;
    WCHAR inputDesktop[DESKTOP_NAME_CHARS];
    DWORD desktopCount;
    WCHAR desktops[WINDOW_DESKTOPS_MAX][DESKTOP_NAME_CHARS];
    DWORD count;
    DWORD capacity;
    CONSOLE_WINDOW* windows;  // allocated at the first read, grown when needed
} WINDOW_LIST;

// Reads the console windows of every desktop of the tool's window station,
// which lies in session (the tool's own); 1 when they were read (then valid
// until the next read).
int ReadWindowList(WINDOW_LIST* list, DWORD session);

// What the parameters say of a shell's console.
#define CONSOLE_HANDLE_UNKNOWN 0  // the parameters could not be read
#define CONSOLE_HANDLE_NONE 1     // ConsoleHandle is 0
#define CONSOLE_HANDLE_SET 2

// A shell's console window, as the report prints it.
typedef struct SHELL_WINDOW {
    const char* state;    // "visible", "hidden", "no-window", ...
    int found;            // a console window was mapped to the shell
    HWND window;
    const char* className;
    const char* via;      // "shell", "console-host" or "ancestor"
    DWORD ownerProcessId;  // whose window it is
    const WCHAR* desktop;  // the desktop it was found on
} SHELL_WINDOW;

// Maps shell to its console window and judges it: its own window, then its
// console host's (a child with a console host's name), then the nearest
// running ancestor's, or that ancestor's console host's, when the shell has
// no console host of its own; parent is the running parent or NULL. The
// first state that holds, in the order "no-console", "out-of-reach",
// "no-window", "other-desktop", "hidden", "minimized", "off-screen",
// "zero-size", "transparent", "cloaked" or "other-virtual-desktop",
// "visible". windows is NULL when the list could not be read.
void FindShellWindow(const WINDOW_LIST* windows, const PROCESS_LIST* list, const LISTED_PROCESS* shell,
                     const LISTED_PROCESS* parent, const SHELL_FAMILY* family, int consoleHandle,
                     SHELL_WINDOW* found);

// 1 for the states that show a window kept from view: "hidden",
// "other-desktop", "off-screen", "zero-size", "transparent", "cloaked".
int IsWindowKeptFromView(const char* state);

#endif
