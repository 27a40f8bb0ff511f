// Cost of each path through the hook procedures, against a procedure that
// only passes the call on through the same fake platform. The procedures are
// the ones the library installs, found as the platform finds them. Each run
// also counts the records it made per call, and fails when a path records
// more or less often than it should, so every figure measures the path it
// names.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "fake_win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace
{

LRESULT CALLBACK PassOnProc(int code, WPARAM wParam, LPARAM lParam)
{
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

enum class Hook { PassOn, Keyboard, Mouse };

struct Path {
    const char *name;
    Hook hook;
    int code;
    WPARAM wParam;
    POINT points[2]; // calls alternate between the two
    bool records;
};

// The record holds (100, 100) as the last position before every run.
constexpr POINT Stored = {100, 100};
constexpr POINT Elsewhere = {101, 100};

const Path Paths[] = {
    {"baseline/pass_on", Hook::PassOn, HC_ACTION, WM_KEYDOWN, {Stored, Stored}, false},
    {"keyboard/action", Hook::Keyboard, HC_ACTION, WM_KEYDOWN, {Stored, Stored}, true},
    {"keyboard/noremove", Hook::Keyboard, HC_NOREMOVE, WM_KEYDOWN, {Stored, Stored}, false},
    {"keyboard/negative_code", Hook::Keyboard, -1, WM_KEYDOWN, {Stored, Stored}, false},
    {"mouse/move_new_point", Hook::Mouse, HC_ACTION, WM_MOUSEMOVE, {Elsewhere, Stored}, true},
    {"mouse/move_same_point", Hook::Mouse, HC_ACTION, WM_MOUSEMOVE, {Stored, Stored}, false},
    {"mouse/button", Hook::Mouse, HC_ACTION, WM_LBUTTONDOWN, {Elsewhere, Stored}, false},
    {"mouse/negative_code", Hook::Mouse, -1, WM_MOUSEMOVE, {Elsewhere, Stored}, false},
};

HOOKPROC KeyboardProc;
HOOKPROC MouseProc;

// Loads the library and switches the hooks on, as a monitoring application
// would; the log is off so that only the procedures are measured.
bool LoadLibraryAndSwitchOn()
{
    fake::Reset();
    DllMain(reinterpret_cast<HINSTANCE>(0x10000000), DLL_PROCESS_ATTACH, nullptr);
    if (SetPCActivityHook(1) != PCACT_TRUE)
        return false;
    KeyboardProc = fake::InstalledProc(WH_KEYBOARD);
    MouseProc = fake::InstalledProc(WH_MOUSE);
    fake::win.logging = false;
    // Every call to GetTickCount moves the clock, so a changed clock counts records.
    fake::win.tickStep = 1;
    return KeyboardProc != nullptr && MouseProc != nullptr;
}

void Run(benchmark::State &state, const Path &path)
{
    HOOKPROC proc = path.hook == Hook::PassOn     ? PassOnProc
                    : path.hook == Hook::Keyboard ? KeyboardProc
                                                  : MouseProc;
    // Calls go through the pointer, as the platform's do.
    benchmark::DoNotOptimize(proc);
    PCActivityHookInfo *record = fake::Record();
    record->LastMouseX = Stored.x;
    record->LastMouseY = Stored.y;
    MOUSEHOOKSTRUCT mouse[2] = {{path.points[0], nullptr, 0, 0}, {path.points[1], nullptr, 0, 0}};
    const LPARAM lParam[2] = {reinterpret_cast<LPARAM>(&mouse[0]),
                              reinterpret_cast<LPARAM>(&mouse[1])};

    const uint32_t ticksBefore = fake::win.tick;
    unsigned i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(proc(path.code, path.wParam, lParam[i & 1]));
        ++i;
    }
    const uint32_t records = fake::win.tick - ticksBefore;

    state.counters["records/call"] = static_cast<double>(records) / i;
    if (records != (path.records ? i : 0))
        state.SkipWithError(path.records ? "a call did not record" : "a call recorded");
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!LoadLibraryAndSwitchOn()) {
        std::fprintf(stderr, "hook_bench: the library installed no hook procedures\n");
        return 1;
    }
    for (const Path &path : Paths)
        benchmark::RegisterBenchmark(path.name, Run, path);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    fake::win.logging = true;
    SetPCActivityHook(0);
    DllMain(reinterpret_cast<HINSTANCE>(0x10000000), DLL_PROCESS_DETACH, nullptr);
    return 0;
}
