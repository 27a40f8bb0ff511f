// pcactprobe - one process of a Wine test scenario, driven line by line.
//
// It reads one command per line on stdin and answers each with exactly one
// line on stdout, "ok ..." or "err ...". Between commands the main thread
// keeps handling its messages: it may own the hooks, and a window of its own.
//
// Built twice: pcactprobe.exe loads kvpcact.dll on request, pcactprobe_imp.exe
// imports it through the import library and so has it from the start.
//
//   load / unload          LoadLibraryA / FreeLibrary of kvpcact.dll
//   loaded                 whether kvpcact.dll is in this process now
//   switch V               SetPCActivityHook(V); prints the 32-bit result
//   dump                   the record through a view held only for the read
//   poke OFFSET VALUE      stores a 32-bit value into the record
//   unhook H               UnhookWindowsHookEx on a handle from the record
//   mutex                  creates a mutex of the section's name and keeps it
//   window X Y W H         shows an undecorated window there and activates it
//   stats                  input the window took so far
//   quit                   ends the process with status 0
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kvpcact.h"

namespace
{

using SwitchFn = uint32_t(KVPCACT_CALL *)(uint32_t);

HMODULE Library;
#ifdef PROBE_IMPORT
SwitchFn Switch = &SetPCActivityHook;
#else
SwitchFn Switch;
#endif

DWORD MainThread;
HANDLE Mutex;
HWND Window;

// What the window took: moves (with the latest client position), left button
// releases, wheel turns and key presses. The hooks run before a message
// reaches the window, so once a count moves, the hook calls for that input
// are done.
struct {
    long moves, lastX, lastY, buttonUps, wheels, keyDowns, keyUps;
} Seen;

void Reply(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_MOUSEMOVE:
        ++Seen.moves;
        Seen.lastX = static_cast<short>(LOWORD(lParam));
        Seen.lastY = static_cast<short>(HIWORD(lParam));
        return 0;
    case WM_LBUTTONUP: ++Seen.buttonUps; return 0;
    case WM_MOUSEWHEEL: ++Seen.wheels; return 0;
    case WM_KEYDOWN: ++Seen.keyDowns; return 0;
    case WM_KEYUP: ++Seen.keyUps; return 0;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

// Lines go from the reader thread to the main thread as thread messages, so
// the main thread never blocks outside its message loop.
DWORD WINAPI ReadCommands(LPVOID)
{
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr)
        PostThreadMessageA(MainThread, WM_APP, 0, reinterpret_cast<LPARAM>(_strdup(line)));
    PostThreadMessageA(MainThread, WM_APP, 0, 0);
    return 0;
}

bool ParseU32(const char *text, uint32_t &value)
{
    if (text == nullptr)
        return false;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || parsed > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

void Dump()
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, PCACTIVITYHOOKINFO_NAME);
    if (mapping == nullptr) {
        Reply("ok absent error=%lu", GetLastError());
        return;
    }
    const auto *info =
        static_cast<const PCActivityHookInfo *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (info == nullptr) {
        Reply("err MapViewOfFile error=%lu", GetLastError());
        CloseHandle(mapping);
        return;
    }
    const uint32_t now = GetTickCount();
    Reply("ok keyboard=0x%08lX mouse=0x%08lX x=%ld y=%ld time=%lu now=%lu",
          static_cast<unsigned long>(__atomic_load_n(&info->KeyboardHook, __ATOMIC_RELAXED)),
          static_cast<unsigned long>(__atomic_load_n(&info->MouseHook, __ATOMIC_RELAXED)),
          static_cast<long>(__atomic_load_n(&info->LastMouseX, __ATOMIC_RELAXED)),
          static_cast<long>(__atomic_load_n(&info->LastMouseY, __ATOMIC_RELAXED)),
          static_cast<unsigned long>(__atomic_load_n(&info->LastActivityTime, __ATOMIC_RELAXED)),
          static_cast<unsigned long>(now));
    UnmapViewOfFile(info);
    CloseHandle(mapping);
}

void Poke(const char *offsetText, const char *valueText)
{
    uint32_t offset = 0, value = 0;
    if (!ParseU32(offsetText, offset) || !ParseU32(valueText, value) || offset > 16 || offset % 4) {
        Reply("err poke needs OFFSET (0..16, step 4) VALUE");
        return;
    }
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, PCACTIVITYHOOKINFO_NAME);
    auto *bytes =
        mapping ? static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    if (bytes == nullptr) {
        Reply("err cannot map the record error=%lu", GetLastError());
    } else {
        __atomic_store_n(reinterpret_cast<uint32_t *>(bytes + offset), value, __ATOMIC_RELAXED);
        UnmapViewOfFile(bytes);
        Reply("ok");
    }
    if (mapping != nullptr)
        CloseHandle(mapping);
}

void ShowWindow(const char *args)
{
    int x, y, w, h;
    if (Window != nullptr || args == nullptr ||
        std::sscanf(args, "%d %d %d %d", &x, &y, &w, &h) != 4) {
        Reply("err window needs X Y W H, once");
        return;
    }
    WNDCLASSA cls{};
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    cls.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    cls.lpszClassName = "PCActProbeWindow";
    RegisterClassA(&cls);
    Window = CreateWindowExA(0, cls.lpszClassName, "pcactprobe", WS_POPUP | WS_VISIBLE, x, y, w, h,
                             nullptr, nullptr, cls.hInstance, nullptr);
    if (Window == nullptr) {
        Reply("err CreateWindowExA error=%lu", GetLastError());
        return;
    }
    SetForegroundWindow(Window);
    SetFocus(Window);
    UpdateWindow(Window);
    RECT r;
    GetWindowRect(Window, &r);
    Reply("ok rect=%ld,%ld,%ld,%ld foreground=%d", r.left, r.top, r.right, r.bottom,
          GetForegroundWindow() == Window);
}

// One command; false to end the process.
bool Run(const char *line)
{
    char command[32] = "";
    int used = 0;
    std::sscanf(line, "%31s %n", command, &used);
    const char *args = line + used;
    char arg1[32] = "", arg2[32] = "";
    std::sscanf(args, "%31s %31s", arg1, arg2);
    uint32_t value = 0;

    if (!std::strcmp(command, "quit")) {
        Reply("ok");
        return false;
    } else if (!std::strcmp(command, "load")) {
#ifdef PROBE_IMPORT
        Reply("err this probe imports the library");
#else
        Library = LoadLibraryA("kvpcact.dll");
        Switch = Library ? reinterpret_cast<SwitchFn>(reinterpret_cast<void *>(
                               GetProcAddress(Library, "SetPCActivityHook")))
                         : nullptr;
        if (Switch == nullptr)
            Reply("err load error=%lu", GetLastError());
        else
            Reply("ok");
#endif
    } else if (!std::strcmp(command, "unload")) {
        if (Library == nullptr || !FreeLibrary(Library)) {
            Reply("err nothing loaded here");
        } else {
            Library = nullptr;
            Switch = nullptr;
            Reply("ok");
        }
    } else if (!std::strcmp(command, "loaded")) {
        Reply("ok loaded=%d", GetModuleHandleA("kvpcact.dll") != nullptr);
    } else if (!std::strcmp(command, "switch")) {
        if (Switch == nullptr || !ParseU32(arg1, value))
            Reply("err switch needs the library and a value");
        else
            Reply("ok result=0x%08lX", static_cast<unsigned long>(Switch(value)));
    } else if (!std::strcmp(command, "dump")) {
        Dump();
    } else if (!std::strcmp(command, "poke")) {
        Poke(arg1, arg2);
    } else if (!std::strcmp(command, "unhook")) {
        if (!ParseU32(arg1, value)) {
            Reply("err unhook needs a handle");
        } else {
            const BOOL done =
                UnhookWindowsHookEx(reinterpret_cast<HHOOK>(static_cast<uintptr_t>(value)));
            Reply("ok unhooked=%d error=%lu", done ? 1 : 0, done ? 0ul : GetLastError());
        }
    } else if (!std::strcmp(command, "mutex")) {
        Mutex = CreateMutexA(nullptr, FALSE, PCACTIVITYHOOKINFO_NAME);
        if (Mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
            Reply("err CreateMutexA error=%lu", GetLastError());
        else
            Reply("ok");
    } else if (!std::strcmp(command, "window")) {
        ShowWindow(args);
    } else if (!std::strcmp(command, "stats")) {
        Reply("ok moves=%ld lastx=%ld lasty=%ld buttonups=%ld wheels=%ld keydowns=%ld "
              "keyups=%ld foreground=%d",
              Seen.moves, Seen.lastX, Seen.lastY, Seen.buttonUps, Seen.wheels, Seen.keyDowns,
              Seen.keyUps, Window != nullptr && GetForegroundWindow() == Window);
    } else {
        Reply("err unknown command '%s'", command);
    }
    return true;
}

} // namespace

int main()
{
    MainThread = GetCurrentThreadId();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue exists before the reader posts
    HANDLE reader = CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr);
    if (reader == nullptr) {
        std::fprintf(stderr, "pcactprobe: CreateThread error=%lu\n", GetLastError());
        return 1;
    }
    Reply("ok ready");
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == WM_APP) {
            char *line = reinterpret_cast<char *>(msg.lParam);
            const bool more = line != nullptr && Run(line);
            std::free(line);
            if (!more)
                break;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // The end of the process takes the reader thread and the window with it;
    // destroying the window first makes Wine wait about 2 s for a new
    // foreground window.
    std::fflush(stdout);
    ExitProcess(0);
}
