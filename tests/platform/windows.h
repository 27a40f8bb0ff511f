// Stand-in for <windows.h> in native test builds: the types, constants and
// calls that the library uses, with the platform's values. The calls are
// implemented by fake_win32.cpp.
#ifndef KVPCACT_TEST_WINDOWS_H
#define KVPCACT_TEST_WINDOWS_H

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef void *LPVOID;
typedef const char *LPCSTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t ULONG_PTR;
typedef void *HANDLE;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HHOOK__ *HHOOK;
typedef struct HWND__ *HWND;
typedef struct SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

typedef struct tagPOINT {
    int32_t x;
    int32_t y;
} POINT;

typedef struct tagMOUSEHOOKSTRUCT {
    POINT pt;
    HWND hwnd;
    UINT wHitTestCode;
    ULONG_PTR dwExtraInfo;
} MOUSEHOOKSTRUCT;

typedef LRESULT(CALLBACK *HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define PAGE_READWRITE 0x04
#define FILE_MAP_ALL_ACCESS 0xF001F
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define WH_KEYBOARD 2
#define WH_MOUSE 7
#define HC_ACTION 0
#define HC_NOREMOVE 3
#define WM_NCMOUSEMOVE 0x00A0
#define WM_KEYDOWN 0x0100
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_RBUTTONDOWN 0x0204
#define WM_MOUSEWHEEL 0x020A
#define WM_NCLBUTTONDOWN 0x00A1

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            std::size_t bytes);
BOOL WINAPI UnmapViewOfFile(const void *view);
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetTickCount();
HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId);
BOOL WINAPI UnhookWindowsHookEx(HHOOK hook);
LRESULT WINAPI CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);

#endif
