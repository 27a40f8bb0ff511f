#include "test_support.h"

#include <ostream>

void PrintTo(const Fields &f, std::ostream *os)
{
    *os << "{kbd=" << f.keyboardHook << " mouse=" << f.mouseHook << " x=" << f.x << " y=" << f.y
        << " time=" << f.time << "}";
}

Fields Read(const PCActivityHookInfo &r)
{
    return {r.KeyboardHook, r.MouseHook, r.LastMouseX, r.LastMouseY, r.LastActivityTime};
}

void Write(PCActivityHookInfo &r, const Fields &f)
{
    r.KeyboardHook = f.keyboardHook;
    r.MouseHook = f.mouseHook;
    r.LastMouseX = f.x;
    r.LastMouseY = f.y;
    r.LastActivityTime = f.time;
}

void LibraryTest::SetUp()
{
    fake::Reset();
}

void LibraryTest::TearDown()
{
    while (attached_ > 0)
        Detach();
    fake::Reset();
}

void LibraryTest::Attach()
{
    ASSERT_EQ(DllMain(kModule, DLL_PROCESS_ATTACH, nullptr), TRUE);
    attached_++;
}

void LibraryTest::Detach()
{
    ASSERT_GT(attached_, 0);
    attached_--;
    ASSERT_EQ(DllMain(kModule, DLL_PROCESS_DETACH, nullptr), TRUE);
}

void LibraryTest::Reload()
{
    Detach();
    fake::Reset();
    Attach();
}

void LibraryTest::SwitchOn()
{
    ASSERT_EQ(SetPCActivityHook(1), PCACT_TRUE);
    keyboardProc = fake::InstalledProc(WH_KEYBOARD);
    mouseProc = fake::InstalledProc(WH_MOUSE);
    ASSERT_NE(keyboardProc, nullptr);
    ASSERT_NE(mouseProc, nullptr);
    fake::ClearCalls();
}

PCActivityHookInfo &LibraryTest::record()
{
    PCActivityHookInfo *shared = fake::Record();
    EXPECT_NE(shared, nullptr) << "no section holds the record";
    static PCActivityHookInfo none;
    return shared ? *shared : none;
}
