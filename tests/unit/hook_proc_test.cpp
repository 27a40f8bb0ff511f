// The keyboard and mouse hook procedures: what they record, and that every
// call is passed on unchanged.
#include <string>
#include <vector>

#include "test_support.h"

using Names = std::vector<std::string>;

namespace
{

constexpr uint32_t kNow = 777000;
constexpr Fields kStored{0, 0, 100, 200, 5}; // hook handles filled in by SwitchOn
// An address no procedure may read: a code other than HC_ACTION carries no
// structure behind lParam.
const LPARAM kInvalid = static_cast<LPARAM>(0x10);

class HookProcTest : public LibraryTest
{
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        Attach();
        SwitchOn();
        Restore();
        fake::win.tick = kNow;
    }

    // Puts the record back to kStored, with the installed hooks' handles.
    Fields Restore()
    {
        Fields stored = kStored;
        stored.keyboardHook = record().KeyboardHook;
        stored.mouseHook = record().MouseHook;
        Write(record(), stored);
        return stored;
    }

    // Calls the procedure from the record as it is now, once for each kind of
    // next-hook result, and checks that it passed the call on exactly once,
    // with its own stored handle and its arguments as received, and returned
    // the next hook's result unchanged.
    void Call(HOOKPROC proc, uint32_t handle, int code, WPARAM wParam, LPARAM lParam)
    {
        const Fields before = Read(record());
        for (LRESULT next : {LRESULT{0}, LRESULT{1}, LRESULT{-7}}) {
            SCOPED_TRACE(next);
            Write(record(), before);
            fake::ClearCalls();
            fake::win.script.nextResult = next;
            EXPECT_EQ(proc(code, wParam, lParam), next);
            ASSERT_FALSE(fake::win.calls.empty());
            const fake::Call &pass = fake::win.calls.back();
            EXPECT_EQ(pass.api, fake::Api::CallNextHookEx);
            EXPECT_EQ(pass.arg[0], handle);
            EXPECT_EQ(static_cast<int>(pass.arg[1]), code);
            EXPECT_EQ(pass.arg[2], wParam);
            EXPECT_EQ(static_cast<LPARAM>(pass.arg[3]), lParam);
        }
    }
};

} // namespace

TEST_F(HookProcTest, KeyboardRecordsEveryKeystrokeTakenFromTheQueue)
{
    struct Case {
        int code;
        WPARAM key;
        LPARAM flags;
        bool records;
    };
    const Case cases[] = {
        {HC_ACTION, 'A', 0x001E0001, true},                       // press
        {HC_ACTION, 'A', static_cast<LPARAM>(0xC01E0001u), true}, // release
        {HC_ACTION, 0x10, 0x402A0001, true},                      // auto-repeat
        {HC_NOREMOVE, 'A', 0x001E0001, false},                    // only peeked at
        {-1, 'A', kInvalid, false},
        {INT32_MIN, 0, kInvalid, false},
        {1, 'A', kInvalid, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " key " << c.key);
        const Fields stored = Restore();

        Call(keyboardProc, stored.keyboardHook, c.code, c.key, c.flags);

        Fields expected = stored;
        if (c.records)
            expected.time = kNow;
        EXPECT_EQ(Read(record()), expected);
        EXPECT_EQ(fake::CallNames(),
                  (c.records ? Names{"GetTickCount", "CallNextHookEx"} : Names{"CallNextHookEx"}));
    }
}

TEST_F(HookProcTest, MouseRecordsOnlyMovesToANewPoint)
{
    struct Case {
        const char *what;
        int code;
        WPARAM message;
        POINT pt;
        bool records;
    };
    const Case cases[] = {
        {"move to a new point", HC_ACTION, WM_MOUSEMOVE, {300, 400}, true},
        {"move of x alone", HC_ACTION, WM_MOUSEMOVE, {101, 200}, true},
        {"move of y alone", HC_ACTION, WM_MOUSEMOVE, {100, 201}, true},
        {"non-client move", HC_ACTION, WM_NCMOUSEMOVE, {300, 400}, true},
        {"left of and above the primary monitor", HC_ACTION, WM_MOUSEMOVE, {-1920, -5}, true},
        {"move to the stored point", HC_ACTION, WM_MOUSEMOVE, {100, 200}, false},
        {"move only peeked at", HC_NOREMOVE, WM_MOUSEMOVE, {300, 400}, false},
        {"button press at a new point", HC_ACTION, WM_LBUTTONDOWN, {300, 400}, false},
        {"button release", HC_ACTION, WM_LBUTTONUP, {300, 400}, false},
        {"right button", HC_ACTION, WM_RBUTTONDOWN, {300, 400}, false},
        {"wheel", HC_ACTION, WM_MOUSEWHEEL, {300, 400}, false},
        {"non-client button", HC_ACTION, WM_NCLBUTTONDOWN, {300, 400}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Fields stored = Restore();
        MOUSEHOOKSTRUCT mouse{c.pt, nullptr, 1, 0};

        Call(mouseProc, stored.mouseHook, c.code, c.message, reinterpret_cast<LPARAM>(&mouse));

        Fields expected = stored;
        if (c.records)
            expected = {stored.keyboardHook, stored.mouseHook, c.pt.x, c.pt.y, kNow};
        EXPECT_EQ(Read(record()), expected);
        EXPECT_EQ(fake::CallNames(),
                  (c.records ? Names{"GetTickCount", "CallNextHookEx"} : Names{"CallNextHookEx"}));
    }
}

TEST_F(HookProcTest, MouseNeverReadsLParamWithoutAStructureBehindIt)
{
    const uint32_t handle = record().MouseHook;
    const Fields before = Read(record());
    // Under the address sanitizer a read through these would be reported.
    for (int code : {-1, INT32_MIN, HC_NOREMOVE, 2})
        Call(mouseProc, handle, code, WM_MOUSEMOVE, kInvalid);
    Call(mouseProc, handle, HC_ACTION, WM_LBUTTONDOWN, kInvalid);
    Call(mouseProc, handle, HC_ACTION, WM_MOUSEMOVE, 0); // null is never followed
    EXPECT_EQ(Read(record()), before);
}

TEST_F(HookProcTest, FirstMoveToTheOriginInANewRecordCountsNothing)
{
    const Fields fresh{record().KeyboardHook, record().MouseHook, 0, 0, 0};
    Write(record(), fresh);
    MOUSEHOOKSTRUCT mouse{{0, 0}, nullptr, 1, 0};
    Call(mouseProc, fresh.mouseHook, HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    EXPECT_EQ(Read(record()), fresh);
}

TEST_F(HookProcTest, ClearedHandlesStillRecordAndPassZero)
{
    Write(record(), {0, 0, 100, 200, 5});
    MOUSEHOOKSTRUCT mouse{{1, 2}, nullptr, 1, 0};

    Call(keyboardProc, 0, HC_ACTION, 'A', 0);
    EXPECT_EQ(record().LastActivityTime, kNow);
    fake::win.tick = kNow + 1;
    Call(mouseProc, 0, HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    EXPECT_EQ(Read(record()), (Fields{0, 0, 1, 2, kNow + 1}));
}

TEST_F(HookProcTest, WithoutARecordProceduresOnlyPassTheCallOn)
{
    // A process where the name is held by something else: nothing mapped.
    Detach();
    fake::Reset();
    fake::HoldNameWithOtherObject(PCACTIVITYHOOKINFO_NAME);
    Attach();
    ASSERT_EQ(ActivityInfo, nullptr);
    fake::ClearCalls();

    MOUSEHOOKSTRUCT mouse{{1, 2}, nullptr, 1, 0};
    const struct {
        HOOKPROC proc;
        int code;
        WPARAM wParam;
        LPARAM lParam;
    } calls[] = {
        {keyboardProc, HC_ACTION, 'A', 0},
        {keyboardProc, -1, 'A', kInvalid},
        {mouseProc, HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse)},
        {mouseProc, -1, WM_MOUSEMOVE, kInvalid},
    };
    fake::win.script.nextResult = 42;
    for (const auto &c : calls) {
        fake::ClearCalls();
        EXPECT_EQ(c.proc(c.code, c.wParam, c.lParam), 42);
        ASSERT_EQ(fake::CallNames(), Names{"CallNextHookEx"});
        EXPECT_EQ(fake::win.calls[0].arg[0], 0u);
        EXPECT_EQ(static_cast<int>(fake::win.calls[0].arg[1]), c.code);
        EXPECT_EQ(fake::win.calls[0].arg[2], c.wParam);
        EXPECT_EQ(static_cast<LPARAM>(fake::win.calls[0].arg[3]), c.lParam);
    }
}
