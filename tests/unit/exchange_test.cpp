// Opening and closing the shared record at attach and detach.
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using Names = std::vector<std::string>;

namespace
{

uintptr_t U(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// Another process holding the section by its name keeps it alive.
HANDLE HoldSectionElsewhere()
{
    HANDLE other = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(PCActivityHookInfo), PCACTIVITYHOOKINFO_NAME);
    fake::ClearCalls();
    return other;
}

} // namespace

using ExchangeTest = LibraryTest;

TEST_F(ExchangeTest, AttachCreatesAndMapsTheNamedSectionAsZeros)
{
    Attach();

    ASSERT_EQ(fake::CallNames(), (Names{"CreateFileMappingA", "MapViewOfFile"}));
    const fake::Call &create = fake::win.calls[0];
    EXPECT_EQ(create.arg[0], U(INVALID_HANDLE_VALUE));
    EXPECT_EQ(create.arg[1], 0u);
    EXPECT_EQ(create.arg[2], static_cast<uintptr_t>(PAGE_READWRITE));
    EXPECT_EQ(create.arg[3], 0u);
    EXPECT_EQ(create.arg[4], 20u);
    const char *name = reinterpret_cast<const char *>(create.arg[5]);
    EXPECT_STREQ(name, "PCActivityHookInfo:{6258F7FB-6ED8-4AF6-B6A5-CE3C359F4257}");
    EXPECT_EQ(std::strlen(name), 57u);

    const fake::Call &map = fake::win.calls[1];
    EXPECT_EQ(map.arg[0], U(ActivityInfoMapping));
    EXPECT_EQ(map.arg[1], static_cast<uintptr_t>(FILE_MAP_ALL_ACCESS));
    EXPECT_EQ(map.arg[2], 0u);
    EXPECT_EQ(map.arg[3], 0u);
    EXPECT_EQ(map.arg[4], 0u);

    ASSERT_NE(ActivityInfoMapping, nullptr);
    ASSERT_EQ(ActivityInfo, fake::Record());
    EXPECT_EQ(Read(*ActivityInfo), (Fields{0, 0, 0, 0, 0}));
}

TEST_F(ExchangeTest, DetachUnmapsThenClosesAndTheLastHolderDropsTheRecord)
{
    Attach();
    PCActivityHookInfo *view = ActivityInfo;
    HANDLE mapping = ActivityInfoMapping;
    Write(*view, {0x10, 0x20, -5, 7, 1234});
    fake::ClearCalls();

    Detach();

    ASSERT_EQ(fake::CallNames(), (Names{"UnmapViewOfFile", "CloseHandle"}));
    EXPECT_EQ(fake::win.calls[0].arg[0], U(view));
    EXPECT_EQ(fake::win.calls[1].arg[0], U(mapping));
    EXPECT_EQ(fake::Record(), nullptr);

    // A new section starts from zero, whatever the old one held.
    Attach();
    EXPECT_EQ(Read(*ActivityInfo), (Fields{0, 0, 0, 0, 0}));
}

TEST_F(ExchangeTest, LoadAndUnloadChangeNothingOtherProcessesSee)
{
    HANDLE other = HoldSectionElsewhere();
    const Fields before{0x10, 0x20, -5, 7, 1234};
    Write(record(), before);

    Attach();
    EXPECT_EQ(Read(*ActivityInfo), before);
    ActivityInfo->LastActivityTime = 999; // a write here is seen there
    EXPECT_EQ(record().LastActivityTime, 999u);
    Detach();

    ASSERT_NE(fake::Record(), nullptr);
    EXPECT_EQ(Read(record()), (Fields{0x10, 0x20, -5, 7, 999}));
    CloseHandle(other);
}

TEST_F(ExchangeTest, FailedOpenLeavesNoRecordAndDetachReleasesOnlyWhatExists)
{
    struct Case {
        const char *what;
        void (*arrange)();
        bool mappingOpen;
        Names detachCalls;
    };
    const Case cases[] = {
        {"creation fails", [] { fake::win.script.failCreate = true; }, false, {}},
        {"name held by another kind of object",
         [] { fake::HoldNameWithOtherObject(PCACTIVITYHOOKINFO_NAME); },
         false,
         {}},
        {"mapping fails", [] { fake::win.script.failMap = true; }, true, {"CloseHandle"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake::Reset();
        c.arrange();

        Attach();
        EXPECT_EQ(fake::CallNames(), (Names{"CreateFileMappingA", "MapViewOfFile"}));
        EXPECT_EQ(ActivityInfo, nullptr);
        EXPECT_EQ(ActivityInfoMapping != nullptr, c.mappingOpen);
        fake::ClearCalls();

        Detach();
        EXPECT_EQ(fake::CallNames(), c.detachCalls);
        EXPECT_EQ(fake::OpenHandles(), 0);
    }
}

TEST_F(ExchangeTest, ThreadNotificationsAndProcessEndChangeNothingElse)
{
    Attach();
    PCActivityHookInfo *view = ActivityInfo;
    HANDLE mapping = ActivityInfoMapping;
    Write(*view, {1, 2, 3, 4, 5});
    fake::ClearCalls();

    for (DWORD reason : {DWORD{DLL_THREAD_ATTACH}, DWORD{DLL_THREAD_DETACH}})
        EXPECT_EQ(DllMain(kModule, reason, nullptr), TRUE);
    EXPECT_TRUE(fake::win.calls.empty());
    EXPECT_EQ(ActivityInfo, view);
    EXPECT_EQ(ActivityInfoMapping, mapping);
    EXPECT_EQ(Read(*view), (Fields{1, 2, 3, 4, 5}));

    // Detach at process end (reserved non-null) releases exactly as an unload.
    HANDLE other = HoldSectionElsewhere();
    int processEnding = 1;
    EXPECT_EQ(DllMain(kModule, DLL_PROCESS_DETACH, &processEnding), TRUE);
    Detach(); // balances the fixture's count: an extra close does nothing
    EXPECT_EQ(fake::CallNames(), (Names{"UnmapViewOfFile", "CloseHandle"}));
    EXPECT_EQ(Read(record()), (Fields{1, 2, 3, 4, 5}));
    CloseHandle(other);
}

TEST_F(ExchangeTest, NestedOpensShareOneViewUntilTheBalancingClose)
{
    OpenActivityInfo();
    OpenActivityInfo();
    EXPECT_EQ(fake::OpenHandles(), 1);
    EXPECT_EQ(fake::MappedViews(), 1);

    CloseActivityInfo();
    EXPECT_EQ(fake::OpenHandles(), 1);
    EXPECT_EQ(fake::MappedViews(), 1);

    CloseActivityInfo();
    EXPECT_EQ(fake::Record(), nullptr);

    // A close with nothing open must not swallow the next open.
    CloseActivityInfo();
    fake::ClearCalls();
    OpenActivityInfo();
    EXPECT_EQ(fake::CallNames(), (Names{"CreateFileMappingA", "MapViewOfFile"}));
    EXPECT_EQ(ActivityInfo, fake::Record());
    CloseActivityInfo();
}
