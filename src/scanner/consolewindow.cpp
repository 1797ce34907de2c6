// Reads the console windows of the tool's window station and judges each
// shell's. Nothing here opens a process: a window's owner comes from the
// window itself, the console hosts from the process list.
#include "consolewindow.h"

#include <string.h>
#include <wchar.h>

#include "growbuffer.h"
#include "systemfunction.h"
#include "text.h"

// The classes of the windows a console host makes: Windows' console
// window, the pseudo console's window (ConPTY, owned by the terminal's
// window), and Wine's console window. A new one is a line.
typedef struct CONSOLE_CLASS {
    const char* name;
    int pseudo;  // judged by its owner window, the terminal's
} CONSOLE_CLASS;

static const CONSOLE_CLASS CONSOLE_CLASSES[] = {
    {"ConsoleWindowClass", 0},
    {"PseudoConsoleWindow", 1},
    {"WineConsoleClass", 0},
};

#define CLASS_NAME_CHARS 64
#define DWM_CLOAKED_ATTRIBUTE 14  // DWMWA_CLOAKED
#define DWM_CLOAKED_APP 1
#define DWM_CLOAKED_SHELL 2      // on another virtual desktop
#define DWM_CLOAKED_INHERITED 4

// The user32 functions the look needs, found at its first use; none of
// them is imported, so that the text layouts never load user32.
typedef struct USER_API {
    BOOL(WINAPI* enumDesktops)(HWINSTA station, DESKTOPENUMPROCW callback, LPARAM context);
    HDESK(WINAPI* openDesktop)(LPCWSTR name, DWORD flags, BOOL inherit, ACCESS_MASK access);
    HDESK(WINAPI* openInputDesktop)(DWORD flags, BOOL inherit, ACCESS_MASK access);
    BOOL(WINAPI* closeDesktop)(HDESK desktop);
    HWINSTA(WINAPI* getProcessWindowStation)(void);
    BOOL(WINAPI* getUserObjectInformation)(HANDLE object, int index, PVOID information, DWORD bytes, LPDWORD needed);
    BOOL(WINAPI* enumDesktopWindows)(HDESK desktop, WNDENUMPROC callback, LPARAM context);
    int(WINAPI* getClassName)(HWND window, LPWSTR name, int chars);
    DWORD(WINAPI* getWindowThreadProcessId)(HWND window, LPDWORD processId);
    BOOL(WINAPI* isWindowVisible)(HWND window);
    BOOL(WINAPI* isIconic)(HWND window);
    BOOL(WINAPI* getWindowRect)(HWND window, LPRECT rect);
    HMONITOR(WINAPI* monitorFromRect)(LPCRECT rect, DWORD flags);
    LONG_PTR(WINAPI* getWindowLongPtr)(HWND window, int index);
    BOOL(WINAPI* getLayeredWindowAttributes)(HWND window, COLORREF* key, BYTE* alpha, DWORD* flags);
    HWND(WINAPI* getWindow)(HWND window, UINT relation);
} USER_API;

typedef HRESULT(WINAPI* DwmGetWindowAttributeFunction)(HWND window, DWORD attribute, PVOID value, DWORD bytes);

static USER_API User;

// Copies a looked-up address into a typed field of the table.
static int TakeFunction(HMODULE module, const char* name, void* field, size_t bytes)
{
    FARPROC address = module != NULL ? GetProcAddress(module, name) : NULL;
    memcpy(field, &address, bytes < sizeof(address) ? bytes : sizeof(address));
    return address != NULL;
}

#define TAKE_USER_FUNCTION(module, name, field) TakeFunction(module, name, &User.field, sizeof(User.field))

// 1 when every function of the table was found; asked once.
static int LoadUserApi(void)
{
    static int tried = 0;
    static int loaded = 0;
    if (tried)
        return loaded;
    tried = 1;
    HMODULE module = LoadSystemModule("user32.dll");
    loaded = TAKE_USER_FUNCTION(module, "EnumDesktopsW", enumDesktops) &&
             TAKE_USER_FUNCTION(module, "OpenDesktopW", openDesktop) &&
             TAKE_USER_FUNCTION(module, "OpenInputDesktop", openInputDesktop) &&
             TAKE_USER_FUNCTION(module, "CloseDesktop", closeDesktop) &&
             TAKE_USER_FUNCTION(module, "GetProcessWindowStation", getProcessWindowStation) &&
             TAKE_USER_FUNCTION(module, "GetUserObjectInformationW", getUserObjectInformation) &&
             TAKE_USER_FUNCTION(module, "EnumDesktopWindows", enumDesktopWindows) &&
             TAKE_USER_FUNCTION(module, "GetClassNameW", getClassName) &&
             TAKE_USER_FUNCTION(module, "GetWindowThreadProcessId", getWindowThreadProcessId) &&
             TAKE_USER_FUNCTION(module, "IsWindowVisible", isWindowVisible) &&
             TAKE_USER_FUNCTION(module, "IsIconic", isIconic) &&
             TAKE_USER_FUNCTION(module, "GetWindowRect", getWindowRect) &&
             TAKE_USER_FUNCTION(module, "MonitorFromRect", monitorFromRect) &&
             TAKE_USER_FUNCTION(module, "GetWindowLongPtrW", getWindowLongPtr) &&
             TAKE_USER_FUNCTION(module, "GetLayeredWindowAttributes", getLayeredWindowAttributes) &&
             TAKE_USER_FUNCTION(module, "GetWindow", getWindow);
    return loaded;
}

// The name of a window station's or desktop's object; 1 when it fits.
static int ReadObjectName(HANDLE object, WCHAR* name, DWORD chars)
{
    DWORD needed = 0;
    name[0] = 0;
    if (!User.getUserObjectInformation(object, UOI_NAME, name, chars * sizeof(WCHAR), &needed))
        return 0;
    name[chars - 1] = 0;
    return 1;
}

// The read under way: the list, the desktop being walked, and whether a
// window could not be kept.
typedef struct WINDOW_READ {
    WINDOW_LIST* list;
    DWORD desktop;
    int failed;
} WINDOW_READ;

static BOOL CALLBACK KeepConsoleWindow(HWND window, LPARAM context)
{
    WINDOW_READ* read = (WINDOW_READ*)context;
    WCHAR name[CLASS_NAME_CHARS];
    int chars = User.getClassName(window, name, CLASS_NAME_CHARS);
    for (int kind = 0; chars > 0 && kind < (int)(sizeof(CONSOLE_CLASSES) / sizeof(CONSOLE_CLASSES[0])); kind++) {
        // Window classes are named without regard to case.
        if (!IsSameAsciiName(name, (size_t)chars, CONSOLE_CLASSES[kind].name))
            continue;
        WINDOW_LIST* list = read->list;
        if (!GrowArray((void**)&list->windows, &list->capacity, list->count + 1, sizeof(CONSOLE_WINDOW),
                       CONSOLE_WINDOWS_MAX)) {
            read->failed = 1;
            return FALSE;
        }
        CONSOLE_WINDOW* kept = &list->windows[list->count++];
        kept->window = window;
        kept->processId = 0;
        User.getWindowThreadProcessId(window, &kept->processId);
        kept->kind = kind;
        kept->desktop = read->desktop;
    }
    return TRUE;
}

static BOOL CALLBACK KeepDesktopName(LPWSTR name, LPARAM context)
{
    WINDOW_LIST* list = (WINDOW_LIST*)context;
    if (list->desktopCount < WINDOW_DESKTOPS_MAX)
        CopyWideText(list->desktops[list->desktopCount++], DESKTOP_NAME_CHARS, name, DESKTOP_NAME_CHARS);
    return TRUE;
}

int ReadWindowList(WINDOW_LIST* list, DWORD session)
{
    list->read = 0;
    list->count = 0;
    list->desktopCount = 0;
    list->foundInputDesktop = 0;
    list->session = session;
    if (!LoadUserApi())
        return 0;
    // The input desktop is the one a person sees; where it cannot be opened
    // (a locked workstation, a service's station) no desktop is "other".
    HDESK input = User.openInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (input != NULL) {
        list->foundInputDesktop = ReadObjectName(input, list->inputDesktop, DESKTOP_NAME_CHARS);
        User.closeDesktop(input);
    }
    HWINSTA station = User.getProcessWindowStation();
    if (station == NULL || !User.enumDesktops(station, KeepDesktopName, (LPARAM)list))
        return 0;
    WINDOW_READ read = {list, 0, 0};
    for (; read.desktop < list->desktopCount && !read.failed; read.desktop++) {
        HDESK desktop =
            User.openDesktop(list->desktops[read.desktop], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desktop == NULL)
            continue;
        User.enumDesktopWindows(desktop, KeepConsoleWindow, (LPARAM)&read);
        User.closeDesktop(desktop);
    }
    list->read = !read.failed;
    return list->read;
}

// The first console window of the read whose owner is processId, or NULL.
static const CONSOLE_WINDOW* FindWindowOf(const WINDOW_LIST* windows, DWORD processId)
{
    for (DWORD index = 0; index < windows->count; index++)
        if (windows->windows[index].processId == processId)
            return &windows->windows[index];
    return NULL;
}

// The window of process itself, or of its console host (host, when it has
// one, else NULL), with via set to which.
static const CONSOLE_WINDOW* FindOwnOrHostWindow(const WINDOW_LIST* windows, const LISTED_PROCESS* process,
                                                 const LISTED_PROCESS* host, const char** via)
{
    const CONSOLE_WINDOW* window = FindWindowOf(windows, process->processId);
    *via = "shell";
    if (window == NULL && host != NULL) {
        window = FindWindowOf(windows, host->processId);
        *via = "console-host";
    }
    return window;
}

// The window's state past "no-window", looked at as it stands now.
static const char* JudgeWindow(const WINDOW_LIST* windows, const CONSOLE_WINDOW* console, HWND window)
{
    if (windows->foundInputDesktop && wcscmp(windows->desktops[console->desktop], windows->inputDesktop) != 0)
        return "other-desktop";
    if (!User.isWindowVisible(window))
        return "hidden";
    if (User.isIconic(window))
        return "minimized";
    RECT rect;
    if (User.getWindowRect(window, &rect)) {
        if (User.monitorFromRect(&rect, MONITOR_DEFAULTTONULL) == NULL)
            return "off-screen";
        if (rect.right - rect.left < WINDOW_SMALLEST_PIXELS || rect.bottom - rect.top < WINDOW_SMALLEST_PIXELS)
            return "zero-size";
    }
    BYTE alpha = 0xFF;
    DWORD flags = 0;
    if ((User.getWindowLongPtr(window, GWL_EXSTYLE) & WS_EX_LAYERED) != 0 &&
        User.getLayeredWindowAttributes(window, NULL, &alpha, &flags) && (flags & LWA_ALPHA) != 0 &&
        alpha < WINDOW_LEAST_ALPHA)
        return "transparent";
    // Where DWM is a stub (Wine) or absent, this test is skipped.
    static SYSTEM_FUNCTION dwm = {"dwmapi.dll", "DwmGetWindowAttribute", 1, 0, NULL};
    DwmGetWindowAttributeFunction query = (DwmGetWindowAttributeFunction)(void*)FindSystemFunction(&dwm);
    DWORD cloaked = 0;
    if (query != NULL && query(window, DWM_CLOAKED_ATTRIBUTE, &cloaked, sizeof(cloaked)) == S_OK) {
        if (cloaked == DWM_CLOAKED_APP || cloaked == DWM_CLOAKED_INHERITED)
            return "cloaked";
        if (cloaked == DWM_CLOAKED_SHELL)
            return "other-virtual-desktop";
    }
    return "visible";
}

void FindShellWindow(const WINDOW_LIST* windows, const PROCESS_LIST* list, const LISTED_PROCESS* shell,
                     const LISTED_PROCESS* parent, const SHELL_FAMILY* family, int consoleHandle,
                     SHELL_WINDOW* found)
{
    memset(found, 0, sizeof(*found));
    LISTED_PROCESS host;
    int hasHost = FindConsoleHostChild(list, shell, &host);
    if (consoleHandle == CONSOLE_HANDLE_NONE && !hasHost) {
        found->state = "no-console";
        return;
    }
    // Windows of another session are out of this station's sight.
    if (windows == NULL || !windows->read || shell->session != windows->session) {
        found->state = "out-of-reach";
        return;
    }
    const char* via = "shell";
    const CONSOLE_WINDOW* console = FindOwnOrHostWindow(windows, shell, hasHost ? &host : NULL, &via);
    // A shell without a console host of its own shares the console it
    // inherited: the nearest ancestor that has a console owns it, and
    // one whose console has no window gives none.
    for (DWORD index = 0; console == NULL && !hasHost && parent != NULL && index <= family->ancestorCount; index++) {
        const LISTED_PROCESS* ancestor = index == 0 ? parent : &family->ancestors[index - 1];
        hasHost = FindConsoleHostChild(list, ancestor, &host);
        console = FindOwnOrHostWindow(windows, ancestor, hasHost ? &host : NULL, &via);
        via = "ancestor";
    }
    if (console == NULL) {
        found->state = "no-window";
        return;
    }
    found->found = 1;
    found->window = console->window;
    found->className = CONSOLE_CLASSES[console->kind].name;
    found->via = via;
    found->ownerProcessId = console->processId;
    found->desktop = windows->desktops[console->desktop];
    HWND judged = console->window;
    if (CONSOLE_CLASSES[console->kind].pseudo)
        judged = User.getWindow(console->window, GW_OWNER);
    found->state = judged == NULL ? "no-window" : JudgeWindow(windows, console, judged);
}

int IsWindowKeptFromView(const char* state)
{
    static const char* const KEPT[] = {"hidden", "other-desktop", "off-screen", "zero-size", "transparent", "cloaked"};
    for (size_t index = 0; state != NULL && index < sizeof(KEPT) / sizeof(KEPT[0]); index++)
        if (strcmp(state, KEPT[index]) == 0)
            return 1;
    return 0;
}
