// The public header: the wrap-safe idle helper, in C and C++.
#include <cstring>

#include "test_support.h"

extern "C" uint32_t IdleMsFromC(uint32_t now, uint32_t last);
extern "C" const char *SectionNameFromC(void);

TEST(PublicHeader, IdleTimeAcrossTheTickCountWrap)
{
    const struct {
        uint32_t now, last, idle;
    } cases[] = {
        {1000, 400, 600},     {1000, 1000, 0},
        {5, 0xFFFFFFF0u, 21}, // the tick count wrapped after the stamp
        {0, 0xFFFFFFFFu, 1},  {0x7FFFFFFFu, 0, 0x7FFFFFFFu}, // the longest idle time told apart
        {100, 105, 0},                                       // stamped just after `now` was read
        {0xFFFFFFF0u, 3, 0}, // stamped just after `now`, across the wrap
    };
    for (const auto &c : cases) {
        EXPECT_EQ(PCActivityIdleMs(c.now, c.last), c.idle) << c.now << " " << c.last;
        EXPECT_EQ(IdleMsFromC(c.now, c.last), c.idle) << c.now << " " << c.last;
    }
}

TEST(PublicHeader, CAndCppSeeOneSectionName)
{
    EXPECT_STREQ(SectionNameFromC(), PCACTIVITYHOOKINFO_NAME);
    EXPECT_EQ(std::strlen(PCACTIVITYHOOKINFO_NAME), 57u);
}
