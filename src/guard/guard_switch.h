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

// What a guard device did with a state.
enum GuardAnswer {
    GuardNotThere = -1,  // the device cannot be opened: no guard installed
    GuardRefused = 0,
    GuardTook = 1,
};

// Hands the state (0 off, 1 on) to every guard device the platform offers.
// Every device and event it opens is closed before it returns. Answers
// GuardTook when a device took it, GuardNotThere when none could be opened,
// GuardRefused when every device that opened refused it.
int SwitchGuard(int on);

// The guard around one run. SwitchGuardOffForRun switches it off and owes the
// machine the "on". SwitchGuardBackOn pays that debt once, whoever asks first:
// the run's end, a console event that ends the process, or a crash; it
// answers SwitchGuard's answer, or GuardNotThere when nothing was owed. Safe
// on any thread.
void SwitchGuardOffForRun(void);
int SwitchGuardBackOn(void);

// Sends the state on the open control device (NT or 9x form, as the system
// reports its platform). Answers non-zero when the device took it.
int SendGuardControl(HANDLE device, int on);

// The NT exchange: set, read back, and the older guards' form when the read
// back does not confirm the state. Answers a GuardAnswer.
int HandshakeGuardNt(int on);

// The 9x setting change on "\\.\qvpv95". Answers a GuardAnswer.
int ChangeGuardSetting9x(int on);

// One request on a guard device that must be done when the call returns: a
// request the device leaves pending is cancelled, counts as failed
// (ERROR_IO_PENDING) and never writes into memory that is gone afterwards.
// `carried` bytes of input go along (at least inputLength; the setting
// record lays its state out past the declared length). event may be null.
// Answers the DeviceIoControl result.
BOOL GuardDeviceRequest(HANDLE device, DWORD code, const void *input, DWORD inputLength, DWORD carried,
                        void *output, DWORD outputLength, HANDLE event);
