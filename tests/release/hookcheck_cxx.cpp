// The header as C++: it must compile, and its declaration must reach the
// same import as the C one, or hookcheck does not link.
#include "kvpcact.h"

extern "C" uint32_t SwitchFromCxx(uint32_t activate)
{
    return SetPCActivityHook(activate);
}
