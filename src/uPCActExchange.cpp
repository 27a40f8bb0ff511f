#include "uPCActExchange.h"

PCActivityHookInfo *ActivityInfo;
HANDLE ActivityInfoMapping;

// Opens not yet balanced by a close. Only the entry point moves it, one
// notification at a time, so it needs no atomic access.
static unsigned OpenCount;

void OpenActivityInfo()
{
    if (OpenCount++ != 0)
        return;
    // Creates the section as 20 zero bytes, or opens the one that exists,
    // unchanged. A failure leaves 0 here, and MapViewOfFile then fails too.
    ActivityInfoMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             sizeof(PCActivityHookInfo), PCACTIVITYHOOKINFO_NAME);
    ActivityInfo = static_cast<PCActivityHookInfo *>(
        MapViewOfFile(ActivityInfoMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
}

void CloseActivityInfo()
{
    // A close with nothing open must not leave the count below zero: the
    // next open would then do nothing and the record would never be mapped.
    if (OpenCount == 0 || --OpenCount != 0)
        return;
    // The record keeps every field, hook handles included: other processes
    // still use them.
    if (ActivityInfo != nullptr)
        UnmapViewOfFile(ActivityInfo);
    if (ActivityInfoMapping != nullptr)
        CloseHandle(ActivityInfoMapping);
}
