#include "guard/guard_switch.h"

#include "base/platform.h"
#include "guard/guard_device.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

const char GuardSettingOid[] = "1.3.6.1.4.1.4721.12.1.111.2.10";

// How long a cancelled request may take to come back before its memory is
// given up for good.
static const DWORD kCancelWaitMs = 5000;

// A request's memory: it lives on the heap so that a request the device
// never gives back can be left to it instead of writing into a dead frame.
struct GuardRequestRecord {
    OVERLAPPED overlapped;
    DWORD returned;
    unsigned char input[256];
    unsigned char output[16];
};

BOOL GuardDeviceRequest(HANDLE device, DWORD code, const void *input, DWORD inputLength, DWORD carried,
                        void *output, DWORD outputLength, HANDLE event)
{
    GuardRequestRecord *request = static_cast<GuardRequestRecord *>(sys::malloc(sizeof(GuardRequestRecord)));
    if (request == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    memset(request, 0, sizeof *request);
    if (carried < inputLength)
        carried = inputLength;
    if (carried > sizeof request->input || outputLength > sizeof request->output) {
        sys::free(request);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (input != nullptr)
        memcpy(request->input, input, carried);
    if (output != nullptr)
        memcpy(request->output, output, outputLength);
    request->overlapped.hEvent = event;

    BOOL result = sys::DeviceIoControl(device, code, input != nullptr ? request->input : nullptr, inputLength,
                                       output != nullptr ? request->output : nullptr, outputLength,
                                       &request->returned, &request->overlapped);
    if (!result && GetLastError() == ERROR_IO_PENDING) {
        // Not done at once: a failure. Cancel it and wait for it to come back
        // so nothing is written into this record later.
        sys::CancelIo(device);
        if (sys::WaitForSingleObject(event != nullptr ? event : device, kCancelWaitMs) != WAIT_OBJECT_0) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;  // the record stays with the device
        }
        sys::free(request);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    DWORD error = GetLastError();
    if (result && output != nullptr)
        memcpy(output, request->output, outputLength);
    sys::free(request);
    SetLastError(error);
    return result;
}

int SendGuardControl(HANDLE device, int on)
{
    if (GuardPlatformIsNt()) {
        char text[2];
        snprintf(text, sizeof text, "%d", on ? 1 : 0);
        return GuardDeviceRequest(device, IOCTL_GUARD_SET_STATE, text, 2, 2, nullptr, 0, nullptr);
    }
    return GuardDeviceRequest(device, GUARD_VXD_SET_STATE, on ? "1" : "0", 2, 2, nullptr, 0, nullptr);
}

int HandshakeGuardNt(int on)
{
    int state = on ? 1 : 0;
    HANDLE device = sys::CreateFileA("\\\\.\\QVPortivaDev", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open PV error=%ld\n", (long)GetLastError());
        return GuardNotThere;
    }
    HANDLE event = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        sys::CloseHandle(device);
        return GuardRefused;
    }

    bool confirmed = false;
    char digit[2] = {static_cast<char>('0' + state), '\0'};
    if (!GuardDeviceRequest(device, IOCTL_GUARD_SET_STATE, digit, sizeof digit, sizeof digit, nullptr, 0, event)) {
        TracePrint(TraceModuleName, -1, 4, "PV communication error in first phase %08X\n", (unsigned)GetLastError());
    } else {
        uint16_t answer = 0xABCD;  // a guard that writes nothing leaves this
        if (!GuardDeviceRequest(device, IOCTL_GUARD_READ_STATE, nullptr, 0, 0, &answer, sizeof answer, event))
            TracePrint(TraceModuleName, -1, 4, "PV communication error in second phase %08X\n",
                       (unsigned)GetLastError());
        else
            confirmed = answer == state;
    }

    if (!confirmed) {
        // Older guards know only the 32-bit form.
        uint32_t value = static_cast<uint32_t>(state);
        unsigned char bytes[4] = {static_cast<unsigned char>(value), 0, 0, 0};
        if (GuardDeviceRequest(device, IOCTL_GUARD_SET_STATE_54, bytes, sizeof bytes, sizeof bytes, nullptr, 0,
                               event)) {
            TracePrint(TraceModuleName, -1, 4, "%s", "PV 5.4x communication successful\n");
            confirmed = true;
        } else {
            TracePrint(TraceModuleName, -1, 4, "PV 5.4x communication error in first phase %08X\n",
                       (unsigned)GetLastError());
        }
    }
    sys::CloseHandle(event);
    sys::CloseHandle(device);
    return confirmed ? GuardTook : GuardRefused;
}

int ChangeGuardSetting9x(int on)
{
    HANDLE device = sys::CreateFileA("\\\\.\\qvpv95", 0, 0, nullptr, 0, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open PV error=%ld\n", (long)GetLastError());
        return GuardNotThere;
    }
    // The OID and its NUL are the declared input; the state follows right
    // after the NUL, outside the declared length, as the guard expects.
    unsigned char record[256];
    memset(record, 0, sizeof record);
    size_t oidLength = strlen(GuardSettingOid);
    memcpy(record, GuardSettingOid, oidLength);
    record[oidLength + 1] = on ? 1 : 0;
    BOOL result = GuardDeviceRequest(device, IOCTL_GUARD_SET_SETTING, record, static_cast<DWORD>(oidLength + 1),
                                     static_cast<DWORD>(oidLength + 5), nullptr, 0, nullptr);
    // The request's own error, before closing the device can change it.
    DWORD error = GetLastError();
    sys::CloseHandle(device);
    TracePrint(TraceModuleName, -1, 4, "Setting change status =%d error=%ld\n", (int)result, (long)error);
    return result ? GuardTook : GuardRefused;
}

// The better of two answers: one device that took the state is enough.
static int BetterAnswer(int a, int b)
{
    return a > b ? a : b;
}

int SwitchGuard(int on)
{
    int answer = GuardNotThere;
    HANDLE device = OpenGuardControlDevice();
    if (device != INVALID_HANDLE_VALUE) {
        answer = SendGuardControl(device, on) ? GuardTook : GuardRefused;
        sys::CloseHandle(device);
    }
    if (IsWindowsNT())
        return BetterAnswer(answer, HandshakeGuardNt(on));
    return BetterAnswer(answer, ChangeGuardSetting9x(on));
}

namespace {

// Who switches the guard back on: the lock makes a console event's thread
// wait while the run's thread switches the guard off, and `owed` lets only
// the first caller switch it on.
struct GuardOwner {
    CRITICAL_SECTION lock;
    int owed;
    GuardOwner() : owed(0) { InitializeCriticalSection(&lock); }
};
GuardOwner g_guardOwner;

}  // namespace

void SwitchGuardOffForRun(void)
{
    EnterCriticalSection(&g_guardOwner.lock);
    // Owed before the first request goes out: a crash in the middle of the
    // switch still switches the guard on again.
    g_guardOwner.owed = 1;
    SwitchGuard(0);
    LeaveCriticalSection(&g_guardOwner.lock);
}

int SwitchGuardBackOn(void)
{
    EnterCriticalSection(&g_guardOwner.lock);
    int owed = g_guardOwner.owed;
    g_guardOwner.owed = 0;
    int answer = owed ? SwitchGuard(1) : GuardNotThere;
    LeaveCriticalSection(&g_guardOwner.lock);
    return answer;
}
