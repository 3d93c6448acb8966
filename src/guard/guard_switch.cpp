#include "guard/guard_switch.h"

void SwitchGuard(int on)
{
    (void)on;  // no guard device is driven yet
}
