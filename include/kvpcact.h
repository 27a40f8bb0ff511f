/* kvpcact.h - interface of kvpcact.dll for monitoring applications.
 *
 * While the hooks are switched on, kvpcact.dll stamps the latest keyboard or
 * mouse activity anywhere on the desktop into one 20-byte record held in a
 * named section of shared memory. A monitoring application switches the hooks
 * with SetPCActivityHook and reads the record through its own view of the
 * section. Usable from C and C++, in 32-bit and 64-bit builds.
 */
#ifndef KVPCACT_H
#define KVPCACT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KVPCACT_CALL __stdcall
#else
#define KVPCACT_CALL
#endif

#ifdef __cplusplus
#define KVPCACT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define KVPCACT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Name of the section that holds the record: pass it to OpenFileMappingA or
 * CreateFileMappingA exactly as written, with no namespace prefix. */
#define PCACTIVITYHOOKINFO_NAME "PCActivityHookInfo:{6258F7FB-6ED8-4AF6-B6A5-CE3C359F4257}"

/* The shared record. Every field is a naturally aligned little-endian 32-bit
 * value, written and read in one access and with no order among fields, so a
 * reader treats each as independent. A new section holds 20 zero bytes. */
typedef struct PCActivityHookInfo {
    uint32_t KeyboardHook; /* WH_KEYBOARD hook handle; 0 = none stored */
    uint32_t MouseHook;    /* WH_MOUSE hook handle; 0 = none stored */
    int32_t LastMouseX;    /* screen position of the last recorded move */
    int32_t LastMouseY;
    uint32_t LastActivityTime; /* GetTickCount() at the latest activity */
} PCActivityHookInfo;

KVPCACT_STATIC_ASSERT(sizeof(PCActivityHookInfo) == 20, "record is 20 bytes");
KVPCACT_STATIC_ASSERT(offsetof(PCActivityHookInfo, KeyboardHook) == 0, "KeyboardHook at 0");
KVPCACT_STATIC_ASSERT(offsetof(PCActivityHookInfo, MouseHook) == 4, "MouseHook at 4");
KVPCACT_STATIC_ASSERT(offsetof(PCActivityHookInfo, LastMouseX) == 8, "LastMouseX at 8");
KVPCACT_STATIC_ASSERT(offsetof(PCActivityHookInfo, LastMouseY) == 12, "LastMouseY at 12");
KVPCACT_STATIC_ASSERT(offsetof(PCActivityHookInfo, LastActivityTime) == 16,
                      "LastActivityTime at 16");
KVPCACT_STATIC_ASSERT(sizeof(PCACTIVITYHOOKINFO_NAME) == 58, "57 characters and a zero");

/* Results of SetPCActivityHook: true is all 32 bits set, not 1. */
#define PCACT_FALSE 0u
#define PCACT_TRUE 0xFFFFFFFFu

/* Switches both system-wide hooks on (Activate != 0) or off (Activate == 0).
 * Switching on also stamps LastActivityTime. Returns PCACT_TRUE when both
 * hooks were installed, or, switching off, when both were released or none
 * was stored; PCACT_FALSE otherwise, and also when switching on finds both
 * hooks already stored. Exported as ordinal 1. */
uint32_t KVPCACT_CALL SetPCActivityHook(uint32_t Activate);

/* Milliseconds from LastActivityTime `last` to the tick count `now`, correct
 * across the wrap of the 32-bit tick count. A stamp up to 2^31 ms ahead of
 * `now` (a hook stored it after `now` was read) counts as no idle time, so
 * idle spans up to about 24.8 days are told apart. */
static inline uint32_t PCActivityIdleMs(uint32_t now, uint32_t last)
{
    uint32_t elapsed = now - last;
    return elapsed > 0x7FFFFFFFu ? 0u : elapsed;
}

#ifdef __cplusplus
}
#endif

#endif /* KVPCACT_H */
