// Switching the resident file guard off and on around the clean-up.
#pragma once

// Hands the state (0 off, 1 on) to every guard device the platform offers.
void SwitchGuard(int on);
