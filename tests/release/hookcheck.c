/* hookcheck - a consumer of the release, built as its users build: it
 * includes kvpcact.h as shipped and imports SetPCActivityHook through an
 * import library, with no Windows SDK, C run-time or helper of this project.
 * It switches the hooks on, finds both handles in the record, switches them
 * off (from C++ code, to prove that name too), and finds both handles 0.
 *
 * Exit status 0 when all holds; else 1 and one line on stderr. It ends by
 * ExitProcess, so the same main serves as the entry point where no run-time
 * calls it. */
#include "kvpcact.h"

#if defined(_M_IX86) || defined(__i386__)
#define WINAPI __stdcall
#else
#define WINAPI
#endif
#define IMPORT __declspec(dllimport)

/* The few KERNEL32 calls it needs, declared here as the platform defines them. */
typedef int BOOL;
typedef unsigned long DWORD;
typedef void *HANDLE;
#define FILE_MAP_READ 4ul
#define STD_ERROR_HANDLE ((DWORD)-12)

IMPORT HANDLE WINAPI OpenFileMappingA(DWORD access, BOOL inherit, const char *name);
IMPORT void *WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                                  size_t bytes);
IMPORT BOOL WINAPI UnmapViewOfFile(const void *view);
IMPORT BOOL WINAPI CloseHandle(HANDLE handle);
IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
IMPORT BOOL WINAPI WriteFile(HANDLE file, const void *data, DWORD bytes, DWORD *written,
                             void *overlapped);
IMPORT __declspec(noreturn) void WINAPI ExitProcess(unsigned int status);

/* hookcheck_cxx.cpp */
uint32_t SwitchFromCxx(uint32_t activate);

#define FAIL(message) Fail("hookcheck: " message "\n", sizeof "hookcheck: " message "\n" - 1)

static int Fail(const char *line, DWORD length)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, length, &written, 0);
    return 1;
}

/* One 32-bit load each, as the record's fields must be read. */
static uint32_t Field(const PCActivityHookInfo *info, size_t offset)
{
    return *(const volatile uint32_t *)((const char *)info + offset);
}

static int Check(const PCActivityHookInfo *info)
{
    uint32_t on, off, keyboard, mouse;

    if (Field(info, offsetof(PCActivityHookInfo, KeyboardHook)) != 0 ||
        Field(info, offsetof(PCActivityHookInfo, MouseHook)) != 0)
        return FAIL("the hooks are on before the check switches them");
    /* Whatever happens, the hooks are switched off again before the checks. */
    on = SetPCActivityHook(1);
    keyboard = Field(info, offsetof(PCActivityHookInfo, KeyboardHook));
    mouse = Field(info, offsetof(PCActivityHookInfo, MouseHook));
    off = SwitchFromCxx(0);
    if (on != PCACT_TRUE)
        return FAIL("SetPCActivityHook(1) did not return PCACT_TRUE");
    if (keyboard == 0 || mouse == 0)
        return FAIL("a hook handle is 0 after switching on");
    if (off != PCACT_TRUE)
        return FAIL("SetPCActivityHook(0) did not return PCACT_TRUE");
    if (Field(info, offsetof(PCActivityHookInfo, KeyboardHook)) != 0 ||
        Field(info, offsetof(PCActivityHookInfo, MouseHook)) != 0)
        return FAIL("a hook handle is not 0 after switching off");
    return 0;
}

int main(void)
{
    /* kvpcact.dll is imported, so it has created the section already. */
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, 0, PCACTIVITYHOOKINFO_NAME);
    const PCActivityHookInfo *info =
        section ? (const PCActivityHookInfo *)MapViewOfFile(section, FILE_MAP_READ, 0, 0,
                                                            sizeof(PCActivityHookInfo))
                : 0;
    int status =
        info ? Check(info) : FAIL("the record " PCACTIVITYHOOKINFO_NAME " cannot be opened");
    if (info)
        UnmapViewOfFile(info);
    if (section)
        CloseHandle(section);
    ExitProcess((unsigned int)status);
}
