/* The public header compiles as C, and its helper gives the same answers there. */
#include "kvpcact.h"

uint32_t IdleMsFromC(uint32_t now, uint32_t last)
{
    return PCActivityIdleMs(now, last);
}

const char *SectionNameFromC(void)
{
    return PCACTIVITYHOOKINFO_NAME;
}
