// Switching the resident file guard off and on around the clean-up.
#pragma once

#include <windows.h>

// Control codes of the guard's devices.
enum GuardControlCode : DWORD {
    IOCTL_GUARD_SET_STATE = 0x7E800,     // NT device: "0" or "1" with its NUL
    IOCTL_GUARD_READ_STATE = 0x7F010,    // NT device: answers the state as a 16-bit word
    IOCTL_GUARD_SET_STATE_54 = 0x7C454,  // NT device, older guards: the state as 32 bits
    GUARD_VXD_SET_STATE = 0x200,         // 9x control device: "0" or "1" with its NUL
    IOCTL_GUARD_SET_SETTING = 0x7C450,   // 9x setting device: a setting record
};

// The setting that switches the guard on Windows 9x.
extern const char GuardSettingOid[];

// Hands the state (0 off, 1 on) to every guard device the platform offers.
// Every device and event it opens is closed before it returns.
void SwitchGuard(int on);

// Sends the state on the open control device (NT or 9x form, as the system
// reports its platform). Answers non-zero when the device took it.
int SendGuardControl(HANDLE device, int on);

// The NT exchange: set, read back, and the older guards' form when the read
// back does not confirm the state.
void HandshakeGuardNt(int on);

// The 9x setting change on "\\.\qvpv95".
void ChangeGuardSetting9x(int on);

// One request on a guard device that must be done when the call returns: a
// request the device leaves pending is cancelled, counts as failed
// (ERROR_IO_PENDING) and never writes into memory that is gone afterwards.
// `carried` bytes of input go along (at least inputLength; the setting
// record lays its state out past the declared length). event may be null.
// Answers the DeviceIoControl result.
BOOL GuardDeviceRequest(HANDLE device, DWORD code, const void *input, DWORD inputLength, DWORD carried,
                        void *output, DWORD outputLength, HANDLE event);
