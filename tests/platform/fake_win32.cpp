#include "fake_win32.h"

#include <cstring>
#include <map>
#include <memory>

namespace fake
{

Platform win;

namespace
{

struct Section {
    std::string name;
    alignas(4096) unsigned char bytes[4096]; // a view is at least one page
    int handles = 0;
    int views = 0;
};

struct Hook {
    int id;
    HOOKPROC proc;
};

std::vector<std::unique_ptr<Section>> sections;
std::vector<std::string> otherObjects;
std::map<uintptr_t, Section *> handleTable;
std::map<uintptr_t, Hook> hookTable;
uintptr_t nextHandle = 0x40;
uintptr_t nextHook = 0x10000;

void Log(Api api, uintptr_t a0 = 0, uintptr_t a1 = 0, uintptr_t a2 = 0, uintptr_t a3 = 0,
         uintptr_t a4 = 0, uintptr_t a5 = 0)
{
    if (win.logging)
        win.calls.push_back({api, {a0, a1, a2, a3, a4, a5}});
}

uintptr_t U(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

void ReleaseIfUnused(Section *section)
{
    if (section->handles > 0 || section->views > 0)
        return;
    for (auto it = sections.begin(); it != sections.end(); ++it)
        if (it->get() == section) {
            sections.erase(it);
            return;
        }
}

Section *FindSection(const std::string &name)
{
    for (auto &section : sections)
        if (section->name == name)
            return section.get();
    return nullptr;
}

} // namespace

const char *Name(Api api)
{
    switch (api) {
    case Api::CreateFileMappingA: return "CreateFileMappingA";
    case Api::MapViewOfFile: return "MapViewOfFile";
    case Api::UnmapViewOfFile: return "UnmapViewOfFile";
    case Api::CloseHandle: return "CloseHandle";
    case Api::GetTickCount: return "GetTickCount";
    case Api::SetWindowsHookExA: return "SetWindowsHookExA";
    case Api::UnhookWindowsHookEx: return "UnhookWindowsHookEx";
    case Api::CallNextHookEx: return "CallNextHookEx";
    }
    return "?";
}

void Reset()
{
    sections.clear();
    otherObjects.clear();
    handleTable.clear();
    hookTable.clear();
    nextHook = 0x10000;
    win.script = Script{};
    win.calls.clear();
    win.logging = true;
    win.tick = 1000;
    win.tickStep = 0;
    win.nextHookCalls = 0;
}

void HoldNameWithOtherObject(const char *name)
{
    otherObjects.push_back(name);
}

PCActivityHookInfo *Record()
{
    Section *section = FindSection(PCACTIVITYHOOKINFO_NAME);
    return section ? reinterpret_cast<PCActivityHookInfo *>(section->bytes) : nullptr;
}

int OpenHandles()
{
    Section *section = FindSection(PCACTIVITYHOOKINFO_NAME);
    return section ? section->handles : 0;
}

int MappedViews()
{
    Section *section = FindSection(PCACTIVITYHOOKINFO_NAME);
    return section ? section->views : 0;
}

void NextHookHandles(uintptr_t first)
{
    nextHook = first;
}

int InstalledHooks()
{
    return static_cast<int>(hookTable.size());
}

HOOKPROC InstalledProc(int idHook)
{
    for (auto &entry : hookTable)
        if (entry.second.id == idHook)
            return entry.second.proc;
    return nullptr;
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const Call &call : win.calls)
        names.push_back(Name(call.api));
    return names;
}

void ClearCalls()
{
    win.calls.clear();
}

} // namespace fake

using namespace fake;

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name)
{
    Log(Api::CreateFileMappingA, U(file), U(security), protect, maximumSizeHigh, maximumSizeLow,
        U(name));
    if (win.script.failCreate || name == nullptr)
        return nullptr;
    for (const std::string &other : otherObjects)
        if (other == name)
            return nullptr;
    Section *section = FindSection(name);
    if (section == nullptr) {
        sections.push_back(std::make_unique<Section>());
        section = sections.back().get();
        section->name = name;
        std::memset(section->bytes, 0, sizeof section->bytes);
    }
    section->handles++;
    uintptr_t handle = nextHandle;
    nextHandle += 4;
    handleTable[handle] = section;
    return reinterpret_cast<HANDLE>(handle);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            std::size_t bytes)
{
    Log(Api::MapViewOfFile, U(mapping), access, offsetHigh, offsetLow, bytes);
    auto it = handleTable.find(U(mapping));
    if (win.script.failMap || it == handleTable.end())
        return nullptr;
    it->second->views++;
    return it->second->bytes;
}

BOOL WINAPI UnmapViewOfFile(const void *view)
{
    Log(Api::UnmapViewOfFile, U(view));
    for (auto &section : sections)
        if (section->bytes == view && section->views > 0) {
            section->views--;
            ReleaseIfUnused(section.get());
            return TRUE;
        }
    return FALSE;
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    Log(Api::CloseHandle, U(object));
    auto it = handleTable.find(U(object));
    if (it == handleTable.end())
        return FALSE;
    Section *section = it->second;
    handleTable.erase(it);
    section->handles--;
    ReleaseIfUnused(section);
    return TRUE;
}

DWORD WINAPI GetTickCount()
{
    Log(Api::GetTickCount);
    return win.tick.fetch_add(win.tickStep);
}

HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId)
{
    Log(Api::SetWindowsHookExA, static_cast<uintptr_t>(idHook), U(reinterpret_cast<void *>(proc)),
        U(module), threadId);
    if ((idHook == WH_KEYBOARD && win.script.failKeyboardHook) ||
        (idHook == WH_MOUSE && win.script.failMouseHook) || proc == nullptr)
        return nullptr;
    uintptr_t handle = nextHook;
    nextHook += 0x10;
    hookTable[handle] = {idHook, proc};
    return reinterpret_cast<HHOOK>(handle);
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK hook)
{
    Log(Api::UnhookWindowsHookEx, U(hook));
    auto it = hookTable.find(U(hook));
    if (it == hookTable.end())
        return FALSE;
    if ((it->second.id == WH_KEYBOARD && win.script.failKeyboardUnhook) ||
        (it->second.id == WH_MOUSE && win.script.failMouseUnhook))
        return FALSE;
    hookTable.erase(it);
    return TRUE;
}

LRESULT WINAPI CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam)
{
    Log(Api::CallNextHookEx, U(hook), static_cast<uintptr_t>(code), wParam,
        static_cast<uintptr_t>(lParam));
    win.nextHookCalls.fetch_add(1, std::memory_order_relaxed);
    return win.script.nextResult;
}
