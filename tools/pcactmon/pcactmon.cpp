// pcactmon - shows how long the desktop has been idle, as kvpcact.dll sees it.
//
// Switches the activity hooks on, then prints one line per interval until the
// time given runs out or Ctrl+C, and switches the hooks off again:
//
//     idle_ms=<ms since the latest key press or pointer move> x=<X> y=<Y>
//
// idle_ms is unsigned decimal; x and y are the signed screen position of the
// latest recorded pointer move (0 0 until the first one). Every line is
// flushed at once, so a pipe reader sees it when it is printed.
//
// Hooks stored in the record by another process make it stop with status 6,
// unless --take-over is given: a monitor that crashed leaves its hooks
// installed and their handles stored, and only a switch-off frees them.
//
// Exit status: 0 done, 2 bad arguments, 3 the library does not load,
// 4 it lacks SetPCActivityHook, 5 the record cannot be opened, 6 the hooks
// could not be switched on, 7 they could not be switched off. Each failure is
// one line on stderr.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvpcact.h"

namespace
{

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 2,
    ExitLoad = 3,
    ExitExport = 4,
    ExitRecord = 5,
    ExitSwitchOn = 6,
    ExitSwitchOff = 7,
};

const char Usage[] =
    "usage: pcactmon [--seconds N] [--interval MS] [--take-over] [--dll PATH] [--help] [--version]\n"
    "\n"
    "Switches the kvpcact.dll activity hooks on and prints one line per interval:\n"
    "    idle_ms=<ms since the latest key press or pointer move> x=<X> y=<Y>\n"
    "x and y are the screen position of the latest recorded pointer move.\n"
    "Ctrl+C or the end of --seconds switches the hooks off and ends it.\n"
    "\n"
    "  --seconds N    stop after N seconds (default: run until Ctrl+C)\n"
    "  --interval MS  time between lines in milliseconds (default 1000)\n"
    "  --take-over    switch off hooks that another process left on, then switch on;\n"
    "                 only when no other monitor runs (one left by a crash)\n"
    "  --dll PATH     library to load (default: kvpcact.dll beside pcactmon.exe)\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 done, 2 bad arguments, 3 library not loaded, 4 export missing,\n"
    "5 record not available, 6 hooks not switched on, 7 hooks not switched off.\n";

using SwitchFn = uint32_t(KVPCACT_CALL *)(uint32_t);

// Set by the console control handler; the main thread waits on it between lines.
HANDLE StopEvent;
// Set by the main thread once the hooks are off: a close or logoff ends the
// process as soon as the handler returns, so the handler waits for it.
HANDLE DoneEvent;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    SetEvent(StopEvent);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(DoneEvent, 5000);
    return TRUE;
}

int Fail(int code, const char *message, DWORD error = 0)
{
    if (error != 0)
        std::fprintf(stderr, "pcactmon: %s (error %lu)\n", message,
                     static_cast<unsigned long>(error));
    else
        std::fprintf(stderr, "pcactmon: %s\n", message);
    return code;
}

int UsageError(const char *message, const char *arg)
{
    std::fprintf(stderr, "pcactmon: %s%s\n%s", message, arg, Usage);
    return ExitUsage;
}

// A whole decimal number in [min, max], nothing else.
bool ParseNumber(const char *text, unsigned long min, unsigned long max, unsigned long &value)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

std::string DefaultDllPath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "kvpcact.dll";
    std::string folder(path, length);
    const size_t slash = folder.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : folder.substr(0, slash + 1)) +
           "kvpcact.dll";
}

void PrintLine(const PCActivityHookInfo *info)
{
    const uint32_t last = __atomic_load_n(&info->LastActivityTime, __ATOMIC_RELAXED);
    const int32_t x = __atomic_load_n(&info->LastMouseX, __ATOMIC_RELAXED);
    const int32_t y = __atomic_load_n(&info->LastMouseY, __ATOMIC_RELAXED);
    const uint32_t idle = PCActivityIdleMs(static_cast<uint32_t>(GetTickCount()), last);
    std::printf("idle_ms=%lu x=%ld y=%ld\n", static_cast<unsigned long>(idle), static_cast<long>(x),
                static_cast<long>(y));
    std::fflush(stdout);
}

// Waits until `deadline` or a stop request, handling this thread's messages
// all the while: a 32-bit global hook that serves 64-bit processes runs on
// the thread that installed it, and their input stalls while it does not pump.
// False on a stop request.
bool PumpUntil(DWORD deadline)
{
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const DWORD left = deadline - GetTickCount();
        if (left == 0 || left > 0x7FFFFFFFu)
            return WaitForSingleObject(StopEvent, 0) != WAIT_OBJECT_0;
        const DWORD woken = MsgWaitForMultipleObjects(1, &StopEvent, FALSE, left, QS_ALLINPUT);
        // A wait that fails would fail again at once: end rather than spin.
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
            return false;
    }
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long seconds = 0;
    unsigned long interval = 1000;
    std::string dllPath;
    bool takeOver = false;

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(Usage, stdout);
            return ExitOk;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::puts("pcactmon " KVPCACT_VERSION);
            return ExitOk;
        } else if (std::strcmp(arg, "--seconds") == 0) {
            if (!ParseNumber(value, 1, 2000000UL, seconds))
                return UsageError("--seconds needs seconds from 1 to 2000000, got: ",
                                  value ? value : "(nothing)");
            ++i;
        } else if (std::strcmp(arg, "--interval") == 0) {
            if (!ParseNumber(value, 1, 3600000UL, interval))
                return UsageError("--interval needs milliseconds from 1 to 3600000, got: ",
                                  value ? value : "(nothing)");
            ++i;
        } else if (std::strcmp(arg, "--take-over") == 0) {
            takeOver = true;
        } else if (std::strcmp(arg, "--dll") == 0) {
            if (value == nullptr || *value == '\0')
                return UsageError("--dll needs a path", "");
            dllPath = value;
            ++i;
        } else {
            return UsageError("unknown argument: ", arg);
        }
    }
    if (dllPath.empty())
        dllPath = DefaultDllPath();

    HMODULE dll = LoadLibraryA(dllPath.c_str());
    if (dll == nullptr)
        return Fail(ExitLoad, ("cannot load " + dllPath).c_str(), GetLastError());
    const SwitchFn setHook = reinterpret_cast<SwitchFn>(
        reinterpret_cast<void *>(GetProcAddress(dll, "SetPCActivityHook")));
    if (setHook == nullptr)
        return Fail(ExitExport, (dllPath + " has no export SetPCActivityHook").c_str(),
                    GetLastError());

    // The library created the section when it loaded; without it nothing is recorded.
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, PCACTIVITYHOOKINFO_NAME);
    const PCActivityHookInfo *info = mapping ? static_cast<const PCActivityHookInfo *>(
                                                   MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))
                                             : nullptr;
    if (info == nullptr)
        return Fail(ExitRecord, "the activity record " PCACTIVITYHOOKINFO_NAME " is not available",
                    GetLastError());

    // Hooks stored by another process belong to it: switching them off from
    // here would stop its monitoring too. With --take-over the caller vouches
    // that no other monitor runs, so stored handles were left by one that
    // ended without switching off; a release that fails (hook already gone)
    // does not matter then.
    const uint32_t leftKeyboard = __atomic_load_n(&info->KeyboardHook, __ATOMIC_RELAXED);
    const uint32_t leftMouse = __atomic_load_n(&info->MouseHook, __ATOMIC_RELAXED);
    if (takeOver)
        setHook(0);
    else if (leftKeyboard != 0 && leftMouse != 0)
        return Fail(ExitSwitchOn, "the hooks are already switched on by another process");

    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    const uint32_t on = setHook(1);
    if (on != PCACT_TRUE) {
        setHook(0); // A hook that did get installed must not stay behind.
        SetEvent(DoneEvent);
        std::fprintf(stderr, "pcactmon: switching the hooks on returned 0x%08lX\n",
                     static_cast<unsigned long>(on));
        return ExitSwitchOn;
    }
    if (takeOver && (leftKeyboard != 0 || leftMouse != 0))
        std::fprintf(stderr,
                     "pcactmon: took over hooks left by another process "
                     "(keyboard 0x%08lX, mouse 0x%08lX)\n",
                     static_cast<unsigned long>(leftKeyboard),
                     static_cast<unsigned long>(leftMouse));

    const DWORD start = GetTickCount();
    DWORD next = start;
    for (;;) {
        PrintLine(info);
        next += interval;
        if (seconds != 0 && next - start > seconds * 1000UL)
            next = start + seconds * 1000UL;
        if (!PumpUntil(next))
            break;
        if (seconds != 0 && GetTickCount() - start >= seconds * 1000UL)
            break;
    }

    const uint32_t off = setHook(0);
    SetEvent(DoneEvent);
    if (off != PCACT_TRUE) {
        std::fprintf(stderr, "pcactmon: switching the hooks off returned 0x%08lX\n",
                     static_cast<unsigned long>(off));
        return ExitSwitchOff;
    }
    return ExitOk;
}
