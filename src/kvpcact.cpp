// Activity hooks: the keyboard and mouse hook procedures that stamp the shared
// record, the exported switch that installs and removes them, and the entry
// point.
#include <windows.h>

#include "kvpcact.h"
#include "uPCActExchange.h"

// This library's instance handle in this process, written once at attach;
// the platform loads the module it names into every hooked process.
static HINSTANCE ModuleHandle;

// The record keeps hook handles as 32-bit values, the same for 32-bit and
// 64-bit code. User handles are 32-bit values sign-extended to pointer
// width, which is how 64-bit code must widen one it reads back.
static HHOOK ToHook(uint32_t stored)
{
    return reinterpret_cast<HHOOK>(static_cast<intptr_t>(static_cast<int32_t>(stored)));
}

static uint32_t FromHook(HHOOK hook)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hook));
}

// The hook procedures run inside every process that takes input. They record
// and then always pass the call on, with the handle read from the record at
// this moment: the installing process is the only one that got it. Where the
// record could not be mapped they record nothing and pass 0.

static LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    PCActivityHookInfo *info = ActivityInfo;
    HHOOK next = nullptr;
    if (info != nullptr) {
        // HC_NOREMOVE is only a peek at the message; negative codes are not ours.
        if (code == HC_ACTION)
            StoreField(info->LastActivityTime, static_cast<uint32_t>(GetTickCount()));
        next = ToHook(LoadField(info->KeyboardHook));
    }
    return CallNextHookEx(next, code, wParam, lParam);
}

static LRESULT CALLBACK MouseHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    PCActivityHookInfo *info = ActivityInfo;
    HHOOK next = nullptr;
    if (info != nullptr) {
        // Only a move to a new point counts: clicks and the wheel do not, and
        // the platform repeats moves to the same point when windows change.
        const MOUSEHOOKSTRUCT *mouse = reinterpret_cast<const MOUSEHOOKSTRUCT *>(lParam);
        if (code == HC_ACTION && (wParam == WM_MOUSEMOVE || wParam == WM_NCMOUSEMOVE) &&
            mouse != nullptr) {
            const int32_t x = mouse->pt.x;
            const int32_t y = mouse->pt.y;
            if (x != LoadField(info->LastMouseX) || y != LoadField(info->LastMouseY)) {
                StoreField(info->LastActivityTime, static_cast<uint32_t>(GetTickCount()));
                StoreField(info->LastMouseX, x);
                StoreField(info->LastMouseY, y);
            }
        }
        next = ToHook(LoadField(info->MouseHook));
    }
    return CallNextHookEx(next, code, wParam, lParam);
}

// Releases both stored hooks and clears both handles, whatever happened.
// False when a release failed; a failed keyboard release leaves the mouse
// hook alone.
static bool RemoveHooks(PCActivityHookInfo &info)
{
    bool removed = true;
    const uint32_t keyboard = LoadField(info.KeyboardHook);
    if (keyboard != 0 && !UnhookWindowsHookEx(ToHook(keyboard))) {
        removed = false;
    } else {
        const uint32_t mouse = LoadField(info.MouseHook);
        if (mouse != 0)
            removed = UnhookWindowsHookEx(ToHook(mouse)) != 0;
    }
    StoreField(info.KeyboardHook, 0u);
    StoreField(info.MouseHook, 0u);
    return removed;
}

extern "C" uint32_t WINAPI SetPCActivityHook(uint32_t Activate)
{
    PCActivityHookInfo *info = ActivityInfo;
    if (info == nullptr)
        return PCACT_FALSE;

    if (Activate == 0)
        return RemoveHooks(*info) ? PCACT_TRUE : PCACT_FALSE;

    StoreField(info->LastActivityTime, static_cast<uint32_t>(GetTickCount()));
    // Hooks already stored stay as they are, whoever installed them; the
    // caller learns that this call installed nothing.
    if (LoadField(info->KeyboardHook) != 0 && LoadField(info->MouseHook) != 0)
        return PCACT_FALSE;

    // At most one hook is stored: release it, so that both come from here.
    RemoveHooks(*info);
    // Keyboard first; the mouse hook is installed even when that failed, and
    // one that succeeded stays installed when the other failed.
    StoreField(info->KeyboardHook,
               FromHook(SetWindowsHookExA(WH_KEYBOARD, KeyboardHookProc, ModuleHandle, 0)));
    StoreField(info->MouseHook,
               FromHook(SetWindowsHookExA(WH_MOUSE, MouseHookProc, ModuleHandle, 0)));
    return LoadField(info->KeyboardHook) != 0 && LoadField(info->MouseHook) != 0 ? PCACT_TRUE
                                                                                 : PCACT_FALSE;
}

// The entry point. A process where the record cannot be mapped still loads
// the library: a monitoring application that imports it keeps starting, and
// every use of the record is guarded.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ModuleHandle = instance;
        OpenActivityInfo();
        break;
    case DLL_PROCESS_DETACH:
        // Unload and process end alike; the hooks stay until switched off.
        CloseActivityInfo();
        break;
    default: break;
    }
    return TRUE;
}
