// The shared activity record: this process's view of it, and the steps that
// open it at load and close it at unload.
#ifndef UPCACTEXCHANGE_H
#define UPCACTEXCHANGE_H

#include <windows.h>

#include "kvpcact.h"

// Written once, at process attach; null or 0 when the section could not be
// created, opened or mapped in this process.
extern PCActivityHookInfo *ActivityInfo;
extern HANDLE ActivityInfoMapping;

void OpenActivityInfo();
void CloseActivityInfo();

// Other processes read and write the record at any moment without a lock:
// every field access is one relaxed, naturally aligned 32-bit access.
template <typename T> __attribute__((always_inline)) inline T LoadField(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T> __attribute__((always_inline)) inline void StoreField(T &field, T value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

#endif
