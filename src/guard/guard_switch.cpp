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

void HandshakeGuardNt(int on)
{
    int state = on ? 1 : 0;
    HANDLE device = sys::CreateFileA("\\\\.\\QVPortivaDev", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open PV error=%ld\n", (long)GetLastError());
        return;
    }
    HANDLE event = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        sys::CloseHandle(device);
        return;
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
                               event))
            TracePrint(TraceModuleName, -1, 4, "%s", "PV 5.4x communication successful\n");
        else
            TracePrint(TraceModuleName, -1, 4, "PV 5.4x communication error in first phase %08X\n",
                       (unsigned)GetLastError());
    }
    sys::CloseHandle(event);
    sys::CloseHandle(device);
}

void ChangeGuardSetting9x(int on)
{
    HANDLE device = sys::CreateFileA("\\\\.\\qvpv95", 0, 0, nullptr, 0, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open PV error=%ld\n", (long)GetLastError());
        return;
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
    sys::CloseHandle(device);
    DWORD error = GetLastError();
    TracePrint(TraceModuleName, -1, 4, "Setting change status =%d error=%ld\n", (int)result, (long)error);
}

void SwitchGuard(int on)
{
    HANDLE device = OpenGuardControlDevice();
    if (device != INVALID_HANDLE_VALUE) {
        SendGuardControl(device, on);
        sys::CloseHandle(device);
    }
    if (IsWindowsNT())
        HandshakeGuardNt(on);
    else
        ChangeGuardSetting9x(on);
}
