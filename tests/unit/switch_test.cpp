// SetPCActivityHook: installing, keeping and releasing the two hooks, and the
// exact 32-bit result of every path.
#include <string>
#include <vector>

#include "test_support.h"

using Names = std::vector<std::string>;

namespace
{

constexpr uint32_t kNow = 424242;

enum Stored { kNone, kKeyboardOnly, kMouseOnly, kBoth };

class SwitchTest : public LibraryTest
{
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        Attach();
        fake::ClearCalls();
    }

    // Installs real (fake) hooks and leaves only the asked-for handles stored,
    // with a known time and position.
    void Store(Stored which)
    {
        if (which != kNone)
            SwitchOn();
        if (which == kMouseOnly)
            record().KeyboardHook = 0;
        if (which == kKeyboardOnly)
            record().MouseHook = 0;
        record().LastMouseX = -3;
        record().LastMouseY = 9;
        record().LastActivityTime = 11;
        fake::ClearCalls();
        fake::win.tick = kNow;
    }

    uint32_t Handle(size_t call) const
    {
        return static_cast<uint32_t>(fake::win.calls[call].arg[0]);
    }
};

} // namespace

TEST_F(SwitchTest, SwitchOnInstallsKeyboardThenMouseForEveryThread)
{
    fake::win.tick = kNow;
    EXPECT_EQ(SetPCActivityHook(1), 0xFFFFFFFFu);

    ASSERT_EQ(fake::CallNames(), (Names{"GetTickCount", "SetWindowsHookExA", "SetWindowsHookExA"}));
    const fake::Call &keyboard = fake::win.calls[1];
    const fake::Call &mouse = fake::win.calls[2];
    EXPECT_EQ(keyboard.arg[0], static_cast<uintptr_t>(WH_KEYBOARD));
    EXPECT_EQ(mouse.arg[0], static_cast<uintptr_t>(WH_MOUSE));
    for (const fake::Call *call : {&keyboard, &mouse}) {
        EXPECT_EQ(call->arg[2], reinterpret_cast<uintptr_t>(kModule)); // the library's module
        EXPECT_EQ(call->arg[3], 0u);                                   // all threads
    }
    EXPECT_NE(keyboard.arg[1], mouse.arg[1]);
    EXPECT_EQ(fake::InstalledHooks(), 2);
    EXPECT_NE(record().KeyboardHook, 0u);
    EXPECT_NE(record().MouseHook, 0u);
    EXPECT_NE(record().KeyboardHook, record().MouseHook);
    EXPECT_EQ(record().LastActivityTime, kNow);
}

TEST_F(SwitchTest, EveryNonZeroArgumentSwitchesOn)
{
    for (uint32_t activate : {1u, 2u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(activate);
        ASSERT_EQ(SetPCActivityHook(0), PCACT_TRUE);
        EXPECT_EQ(SetPCActivityHook(activate), PCACT_TRUE);
        EXPECT_EQ(fake::InstalledHooks(), 2);
    }
}

TEST_F(SwitchTest, SwitchOnWithBothStoredOnlyRestampsTheTime)
{
    Store(kBoth);
    const Fields before = Read(record());

    EXPECT_EQ(SetPCActivityHook(1), 0u);

    EXPECT_EQ(fake::CallNames(), Names{"GetTickCount"});
    Fields expected = before;
    expected.time = kNow;
    EXPECT_EQ(Read(record()), expected);
    EXPECT_EQ(fake::InstalledHooks(), 2);
}

TEST_F(SwitchTest, SwitchOnReleasesASingleStoredHookAndInstallsBoth)
{
    struct Case {
        const char *what;
        Stored stored;
        bool releaseFails;
    };
    const Case cases[] = {
        {"keyboard stored", kKeyboardOnly, false},
        {"mouse stored", kMouseOnly, false},
        {"keyboard stored, its release fails", kKeyboardOnly, true},
        {"mouse stored, its release fails", kMouseOnly, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Reload();
        Store(c.stored);
        const uint32_t single =
            c.stored == kKeyboardOnly ? record().KeyboardHook : record().MouseHook;
        fake::win.script.failKeyboardUnhook = c.releaseFails;
        fake::win.script.failMouseUnhook = c.releaseFails;

        EXPECT_EQ(SetPCActivityHook(1), PCACT_TRUE);

        ASSERT_EQ(fake::CallNames(), (Names{"GetTickCount", "UnhookWindowsHookEx",
                                            "SetWindowsHookExA", "SetWindowsHookExA"}));
        EXPECT_EQ(Handle(1), single);
        EXPECT_EQ(fake::win.calls[2].arg[0], static_cast<uintptr_t>(WH_KEYBOARD));
        EXPECT_EQ(fake::win.calls[3].arg[0], static_cast<uintptr_t>(WH_MOUSE));
        EXPECT_NE(record().KeyboardHook, 0u);
        EXPECT_NE(record().MouseHook, 0u);
        EXPECT_NE(record().KeyboardHook, single);
        EXPECT_NE(record().MouseHook, single);
        EXPECT_EQ(record().LastActivityTime, kNow);
    }
}

TEST_F(SwitchTest, FailedInstallationsAreReportedAndTheOtherHookStays)
{
    struct Case {
        bool keyboardFails, mouseFails;
    };
    for (const Case c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(testing::Message()
                     << "keyboard fails " << c.keyboardFails << ", mouse fails " << c.mouseFails);
        Reload();
        fake::win.script.failKeyboardHook = c.keyboardFails;
        fake::win.script.failMouseHook = c.mouseFails;
        fake::ClearCalls();

        EXPECT_EQ(SetPCActivityHook(1), 0u);
        // The mouse hook is installed even after the keyboard hook failed.
        EXPECT_EQ(fake::CallNames(),
                  (Names{"GetTickCount", "SetWindowsHookExA", "SetWindowsHookExA"}));
        EXPECT_EQ(record().KeyboardHook != 0, !c.keyboardFails);
        EXPECT_EQ(record().MouseHook != 0, !c.mouseFails);
        EXPECT_EQ(fake::InstalledHooks(), int{!c.keyboardFails} + int{!c.mouseFails});

        // The next switch-on repairs it.
        fake::win.script = fake::Script{};
        fake::ClearCalls();
        EXPECT_EQ(SetPCActivityHook(1), PCACT_TRUE);
        EXPECT_EQ(fake::InstalledHooks(), 2);
    }
}

TEST_F(SwitchTest, SwitchOffOutcomes)
{
    struct Case {
        Stored stored;
        bool keyboardFails, mouseFails;
        Names releases; // hooks whose release is attempted, in order
        uint32_t result;
        int leftInstalled;
    };
    const Case cases[] = {
        {kNone, false, false, {}, PCACT_TRUE, 0},
        {kMouseOnly, false, false, {"mouse"}, PCACT_TRUE, 1}, // keyboard hook lost its handle
        {kMouseOnly, false, true, {"mouse"}, PCACT_FALSE, 2},
        {kKeyboardOnly, false, false, {"keyboard"}, PCACT_TRUE, 1},
        {kBoth, false, false, {"keyboard", "mouse"}, PCACT_TRUE, 0},
        {kBoth, false, true, {"keyboard", "mouse"}, PCACT_FALSE, 1},
        {kBoth, true, false, {"keyboard"}, PCACT_FALSE, 2}, // mouse release not attempted
        {kKeyboardOnly, true, false, {"keyboard"}, PCACT_FALSE, 2},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        Reload();
        Store(c.stored);
        const uint32_t keyboard = record().KeyboardHook;
        const uint32_t mouse = record().MouseHook;
        fake::win.script.failKeyboardUnhook = c.keyboardFails;
        fake::win.script.failMouseUnhook = c.mouseFails;

        EXPECT_EQ(SetPCActivityHook(0), c.result);

        Names released;
        for (size_t call = 0; call < fake::win.calls.size(); call++) {
            ASSERT_EQ(fake::win.calls[call].api, fake::Api::UnhookWindowsHookEx);
            released.push_back(Handle(call) == keyboard ? "keyboard"
                               : Handle(call) == mouse  ? "mouse"
                                                        : "other");
        }
        EXPECT_EQ(released, c.releases);
        EXPECT_EQ(fake::InstalledHooks(), c.leftInstalled);
        // Handles cleared in every case; time and position untouched.
        EXPECT_EQ(Read(record()), (Fields{0, 0, -3, 9, 11}));

        // Nothing is stored any more: the next switch-off calls nothing.
        fake::ClearCalls();
        EXPECT_EQ(SetPCActivityHook(0), PCACT_TRUE);
        EXPECT_TRUE(fake::win.calls.empty());
    }
}

TEST_F(SwitchTest, WithoutARecordTheExportCallsNothingAndFails)
{
    Detach();
    fake::Reset();
    fake::win.script.failMap = true;
    Attach();
    ASSERT_EQ(ActivityInfo, nullptr);
    fake::ClearCalls();

    for (uint32_t activate : {1u, 0u, 0xFFFFFFFFu})
        EXPECT_EQ(SetPCActivityHook(activate), PCACT_FALSE) << activate;
    EXPECT_TRUE(fake::win.calls.empty());
    EXPECT_EQ(fake::InstalledHooks(), 0);
}

// The record holds each handle in 32 bits for 32-bit and 64-bit code alike: a
// 64-bit build truncates a handle to store it and sign-extends it to use it,
// so a handle with bit 31 set reaches the platform as the platform gave it.
TEST_F(SwitchTest, HandlesAreStoredIn32BitsAndSignExtendedForUse)
{
    struct Case {
        uintptr_t first;         // the keyboard hook's handle; the mouse one is 0x10 on
        uint32_t storedKeyboard; // as the record keeps it
    };
    const Case cases[] = {
        {0x00010000u, 0x00010000u},
        {static_cast<uintptr_t>(intptr_t{INT32_MIN} + 0x40), 0x80000040u},
        {static_cast<uintptr_t>(intptr_t{-0x100}), 0xFFFFFF00u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first);
        Reload();
        fake::NextHookHandles(c.first);
        SwitchOn();
        EXPECT_EQ(record().KeyboardHook, c.storedKeyboard);
        EXPECT_EQ(record().MouseHook, c.storedKeyboard + 0x10);

        keyboardProc(HC_ACTION, 0, 0);
        MOUSEHOOKSTRUCT move{{1, 2}, nullptr, 0, 0};
        mouseProc(HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&move));
        ASSERT_EQ(fake::CallNames(),
                  (Names{"GetTickCount", "CallNextHookEx", "GetTickCount", "CallNextHookEx"}));
        EXPECT_EQ(fake::win.calls[1].arg[0], c.first);
        EXPECT_EQ(fake::win.calls[3].arg[0], c.first + 0x10);

        // Switching off releases exactly the hooks that were installed.
        EXPECT_EQ(SetPCActivityHook(0), PCACT_TRUE);
        EXPECT_EQ(fake::InstalledHooks(), 0);
    }
}
