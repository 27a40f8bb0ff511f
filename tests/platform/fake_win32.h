// A scriptable stand-in for the Win32 calls the library makes. It keeps
// named sections and installed hooks as the platform would, records every
// call, and can be told to fail any of them.
#ifndef KVPCACT_FAKE_WIN32_H
#define KVPCACT_FAKE_WIN32_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kvpcact.h"

namespace fake
{

enum class Api {
    CreateFileMappingA,
    MapViewOfFile,
    UnmapViewOfFile,
    CloseHandle,
    GetTickCount,
    SetWindowsHookExA,
    UnhookWindowsHookEx,
    CallNextHookEx,
};

const char *Name(Api api);

struct Call {
    Api api;
    uintptr_t arg[6];
};

struct Script {
    bool failCreate = false;         // CreateFileMappingA returns 0
    bool failMap = false;            // MapViewOfFile returns null
    bool failKeyboardHook = false;   // SetWindowsHookExA(WH_KEYBOARD) returns 0
    bool failMouseHook = false;      // SetWindowsHookExA(WH_MOUSE) returns 0
    bool failKeyboardUnhook = false; // UnhookWindowsHookEx of a WH_KEYBOARD hook returns 0
    bool failMouseUnhook = false;    // likewise for WH_MOUSE
    LRESULT nextResult = 0;          // what CallNextHookEx returns
};

// What the fake platform holds and what it was asked.
struct Platform {
    Script script;
    std::vector<Call> calls;
    // Off while threads call in at once: the log is not thread-safe.
    std::atomic<bool> logging{true};
    std::atomic<uint32_t> tick{1000};  // what GetTickCount returns next
    std::atomic<uint32_t> tickStep{0}; // added to tick after each call
    std::atomic<uint32_t> nextHookCalls{0};
};

extern Platform win;

// Forgets every section, hook, script and call.
void Reset();

// Another process: puts an object of another kind under a name, so that
// CreateFileMappingA fails on it.
void HoldNameWithOtherObject(const char *name);

// The record as any other process sees it, or null when no section of that
// name exists (every holder has released it).
PCActivityHookInfo *Record();

// Handles and views that the library holds of the section.
int OpenHandles();
int MappedViews();

// Hook handles given out from now on start at `first` and step by 0x10.
void NextHookHandles(uintptr_t first);

// Hooks installed and not yet released.
int InstalledHooks();
HOOKPROC InstalledProc(int idHook); // null when none of that kind is installed

// The calls recorded since the last Reset or ClearCalls, by name.
std::vector<std::string> CallNames();
void ClearCalls();

} // namespace fake

#endif
