// Shared by the native tests: the library's entry point and a fixture that
// stands for one process with the library loaded into it.
#ifndef KVPCACT_TEST_SUPPORT_H
#define KVPCACT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "fake_win32.h"
#include "kvpcact.h"
#include "uPCActExchange.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// The instance handle the platform passes at attach.
inline HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(0x6A000000);

// A field-by-field copy of the record, for comparisons and messages.
struct Fields {
    uint32_t keyboardHook, mouseHook;
    int32_t x, y;
    uint32_t time;
    bool operator==(const Fields &) const = default;
};
void PrintTo(const Fields &fields, std::ostream *os);
Fields Read(const PCActivityHookInfo &record);
void Write(PCActivityHookInfo &record, const Fields &fields);

class LibraryTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    void Attach(); // process attach, as the loader does it
    void Detach(); // process detach; balanced automatically at the end
    void Reload(); // a new process: detach, forget the platform, attach

    // Switches on through the export and keeps the procedures the platform
    // was handed; the call log is cleared afterwards.
    void SwitchOn();

    PCActivityHookInfo &record(); // the shared record, as any process sees it

    HOOKPROC keyboardProc = nullptr;
    HOOKPROC mouseProc = nullptr;

private:
    int attached_ = 0;
};

#endif
