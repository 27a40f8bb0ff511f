// Hook procedures on several threads while the export switches and a reader
// polls: every shared field is one relaxed 32-bit access, so the thread
// sanitizer build must report no race, and no field may tear.
#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"

using ConcurrencyTest = LibraryTest;

TEST_F(ConcurrencyTest, ProceduresSwitchAndReaderRunTogether)
{
    Attach();
    SwitchOn();
    fake::win.logging = false; // the call log is not thread-safe
    fake::win.tickStep = 1;
    constexpr int kThreads = 4;
    constexpr int kCalls = 20000;
    std::atomic<bool> done{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; i++) {
                // Points on the diagonal x == y, so a torn pair can be told.
                const int32_t v = (t * kCalls + i) % 1000;
                MOUSEHOOKSTRUCT mouse{{v, v}, nullptr, 1, 0};
                keyboardProc(HC_ACTION, 'A', 0);
                mouseProc(HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
            }
        });
    // The switch runs in the same process here; the platform's own calls are
    // the fake's and are made from this one thread only.
    std::thread switcher([&] {
        while (!done.load()) {
            SetPCActivityHook(0);
            SetPCActivityHook(1);
        }
    });
    uint32_t polls = 0;
    std::thread reader([&] {
        while (!done.load()) {
            const uint32_t time = LoadField(ActivityInfo->LastActivityTime);
            const int32_t x = LoadField(ActivityInfo->LastMouseX);
            EXPECT_LT(time, 1000u + 4u * kThreads * kCalls);
            EXPECT_TRUE(x >= 0 && x < 1000) << x;
            polls++;
        }
    });

    for (std::thread &t : threads)
        t.join();
    done = true;
    switcher.join();
    reader.join();

    EXPECT_EQ(fake::win.nextHookCalls.load(), 2u * kThreads * kCalls);
    EXPECT_GT(polls, 0u);
    EXPECT_GE(record().LastActivityTime, 1000u);
    fake::win.logging = true;
}
