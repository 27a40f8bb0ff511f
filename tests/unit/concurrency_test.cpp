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
    std::atomic<int> started{0}; // the switch and the reader run before any input comes

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            while (started.load() < 2)
                std::this_thread::yield();
            for (int i = 0; i < kCalls; i++) {
                // Coordinates stay in [0, 1000), so a value from nowhere shows.
                const int32_t v = (t * kCalls + i) % 1000;
                MOUSEHOOKSTRUCT mouse{{v, v}, nullptr, 1, 0};
                keyboardProc(HC_ACTION, 'A', 0);
                mouseProc(HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
            }
        });
    // The switch runs in the same process here; the platform's own calls are
    // the fake's and are made from this one thread only.
    std::thread switcher([&] {
        started++;
        while (!done.load()) {
            SetPCActivityHook(0);
            SetPCActivityHook(1);
        }
    });
    std::thread reader([&] {
        started++;
        do {
            const uint32_t time = LoadField(ActivityInfo->LastActivityTime);
            const int32_t x = LoadField(ActivityInfo->LastMouseX);
            EXPECT_GE(time, 1000u);
            EXPECT_TRUE(x >= 0 && x < 1000) << x;
        } while (!done.load());
    });

    for (std::thread &t : threads)
        t.join();
    done = true;
    switcher.join();
    reader.join();

    EXPECT_EQ(fake::win.nextHookCalls.load(), 2u * kThreads * kCalls);
    // The stamp is a value the clock has given out.
    EXPECT_GE(record().LastActivityTime, 1000u);
    EXPECT_LT(record().LastActivityTime, fake::win.tick.load());
    fake::win.logging = true;
}
