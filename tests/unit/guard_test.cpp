// The guard link: registry path strings against Wine's registry, the choice of
// the guard's control device, and what each guard device is sent, on a
// pretend guard that answers as each test needs.
#include "app/disinfect.h"
#include "run/run_tally.h"
#include "guard/guard_device.h"
#include "guard/guard_switch.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Registry path strings

const char kTestKey[] = "Software\\T-Vornik tests\\Guard";

int g_keysOpen, g_rootCloses, g_strdupCalls, g_strdupFailsAt;

LONG WINAPI CountedOpenKey(HKEY hive, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    EXPECT_EQ(access, static_cast<REGSAM>(KEY_READ));
    LONG status = RegOpenKeyExA(hive, path, options, access, key);
    g_keysOpen += status == ERROR_SUCCESS;
    return status;
}

LONG WINAPI CountedCloseKey(HKEY key)
{
    if (reinterpret_cast<uintptr_t>(key) >= 0x80000000u && reinterpret_cast<uintptr_t>(key) <= 0x80000006u) {
        ++g_rootCloses;
        return ERROR_SUCCESS;
    }
    --g_keysOpen;
    return RegCloseKey(key);
}

char *__cdecl CountedStrdup(const char *text)
{
    if (++g_strdupCalls == g_strdupFailsAt)
        return nullptr;
    return _strdup(text);
}

class RegistryPathValueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_keysOpen = g_rootCloses = g_strdupCalls = g_strdupFailsAt = 0;
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE *>("PV95"), 5);
        RegSetValueExA(key, "Twenty", 0, REG_BINARY, reinterpret_cast<const BYTE *>("0123456789abcdefghij"), 20);
        RegSetValueExA(key, "Sixteen", 0, REG_BINARY, reinterpret_cast<const BYTE *>("0123456789abcdef"), 16);
        RegCloseKey(key);
        RegSetValueExA(HKEY_CURRENT_USER, "T-Vornik test value", 0, REG_SZ, reinterpret_cast<const BYTE *>("root"), 5);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik tests");
        RegDeleteValueA(HKEY_CURRENT_USER, "T-Vornik test value");
        EXPECT_EQ(g_keysOpen, 0) << "a key was left open";
        EXPECT_EQ(g_rootCloses, 0) << "a root key was closed";
    }
    int Read(const std::string &path, char (&buffer)[16])
    {
        memset(buffer, 0, sizeof buffer);
        return ReadRegistryPathValue(buffer, sizeof buffer, path.c_str());
    }

    ScopedSysCall<decltype(sys::RegOpenKeyExA)> open_{sys::RegOpenKeyExA, CountedOpenKey};
    ScopedSysCall<decltype(sys::RegCloseKey)> close_{sys::RegCloseKey, CountedCloseKey};
    ScopedSysCall<decltype(sys::strdup)> strdup_{sys::strdup, CountedStrdup};
};

TEST_F(RegistryPathValueTest, ValuesAreReadWhereverTheStringPoints)
{
    std::string key = std::string("HKEY_CURRENT_USER\\") + kTestKey + "\\\\";
    char buffer[16];
    EXPECT_EQ(Read(key + "Name", buffer), 0);
    EXPECT_STREQ(buffer, "PV95");
    EXPECT_EQ(Read("hkey_current_user\\" + std::string(kTestKey) + "\\\\Name   ", buffer), 0);
    EXPECT_EQ(Read(key + "Name|the device", buffer), 0);
    EXPECT_EQ(Read(key + "Name |the device", buffer), 2);  // the blank belongs to the name
    EXPECT_EQ(Read(key + "Sixteen", buffer), 0);
    EXPECT_EQ(Read(key + "Twenty", buffer), 3);
    EXPECT_EQ(Read(key + "Missing", buffer), 2);
    EXPECT_EQ(Read("HKEY_CURRENT_USER\\Software\\T-Vornik tests\\Nothing\\\\Name", buffer), 1);
    EXPECT_EQ(Read("HKLM\\Software\\\\Name", buffer), 4);
    EXPECT_EQ(Read(key, buffer), 2);  // the key has no default value
    // Directly under the root key, which stays open.
    EXPECT_EQ(Read("HKEY_CURRENT_USER\\\\T-Vornik test value", buffer), 0);
    EXPECT_STREQ(buffer, "root");
}

TEST_F(RegistryPathValueTest, WithoutMemoryNothingIsReadOrHandedOut)
{
    std::string path = std::string("HKEY_CURRENT_USER\\") + kTestKey + "\\\\Name";
    for (int failing : {1, 2}) {  // the working copy, then the value name's copy
        g_strdupCalls = 0;
        g_strdupFailsAt = failing;
        HKEY key = nullptr;
        char *valueName = reinterpret_cast<char *>(1);
        int isRootKey = 7;
        EXPECT_EQ(OpenRegistryPath(&key, &valueName, &isRootKey, path.c_str()), 100) << failing;
        EXPECT_EQ(valueName, nullptr);
        EXPECT_EQ(key, nullptr);
    }
}

// ---------------------------------------------------------------------------
// A pretend guard

struct Request {
    std::string device;
    DWORD code;
    std::string input;  // the declared bytes
    std::string beyond; // four bytes past them, as laid out by the caller
    DWORD outputLength;
    bool overlapped;
};

struct PretendGuard {
    bool installed = true;
    DWORD platform = VER_PLATFORM_WIN32_NT;
    std::vector<std::string> opens;  // "path access share disposition flags"
    std::vector<Request> requests;
    int handlesOpen = 0, eventsOpen = 0;
    DWORD failCode = 0, failError = 0;  // this code fails with this error
    bool refuseAll = false;             // every request fails with failError
    DWORD pendCode = 0;                 // this code is left pending
    bool cancelReturns = true;          // a cancelled request comes back
    int cancels = 0;
    enum { Echo, Untouched, Wrong } answer = Echo;
    uint16_t state = 0xFFFF;
    const void *pendingRecord = nullptr;
    bool pendingRecordFreed = false;
};
PretendGuard g_guard;

const char *const kDevices[] = {"\\\\.\\QVPortivaDev", "\\\\.\\PV95", "\\\\.\\KXR", "\\\\.\\qvpv95"};
const uintptr_t kFirstDeviceHandle = 0x6100;

std::string DeviceOf(HANDLE handle)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(handle) - kFirstDeviceHandle;
    return index < 4 ? kDevices[index] + 4 : "?";
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile)
{
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(templateFile, nullptr);
    char line[128];
    snprintf(line, sizeof line, "%s %lx %lx %lu %lx", path, access, share, disposition, flags);
    g_guard.opens.push_back(line);
    for (int i = 0; i < 4; ++i) {
        if (g_guard.installed && strcmp(path, kDevices[i]) == 0) {
            ++g_guard.handlesOpen;
            return reinterpret_cast<HANDLE>(kFirstDeviceHandle + i);
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                                DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    const char *in = static_cast<const char *>(input);
    g_guard.requests.push_back({DeviceOf(device), code, in ? std::string(in, inputLength) : std::string(),
                                in ? std::string(in + inputLength, 4) : std::string(), outputLength,
                                overlapped != nullptr});
    if (code == g_guard.pendCode) {
        g_guard.pendingRecord = overlapped;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (code == g_guard.failCode || g_guard.refuseAll) {
        SetLastError(g_guard.failError);
        return FALSE;
    }
    *returned = 0;
    if (code == IOCTL_GUARD_SET_STATE)
        g_guard.state = static_cast<uint16_t>(in[0] - '0');
    if (code == IOCTL_GUARD_READ_STATE && g_guard.answer != PretendGuard::Untouched) {
        uint16_t answer = g_guard.answer == PretendGuard::Echo ? g_guard.state : 7;
        memcpy(output, &answer, sizeof answer);
        *returned = sizeof answer;
    }
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI FakeCancelIo(HANDLE)
{
    ++g_guard.cancels;
    return TRUE;
}

DWORD WINAPI FakeWait(HANDLE, DWORD)
{
    return g_guard.cancels > 0 && g_guard.cancelReturns ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE WINAPI CountedCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL signalled, LPCSTR name)
{
    EXPECT_TRUE(manualReset);
    EXPECT_FALSE(signalled);
    EXPECT_EQ(name, nullptr);
    HANDLE event = CreateEventA(security, manualReset, signalled, name);
    g_guard.eventsOpen += event != nullptr;
    return event;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle)
{
    if (DeviceOf(handle) != "?") {
        --g_guard.handlesOpen;
        SetLastError(ERROR_SUCCESS);  // a close may leave its own error behind
        return TRUE;
    }
    --g_guard.eventsOpen;  // the only other handles here are events
    return CloseHandle(handle);
}

void __cdecl WatchedFree(void *block)
{
    if (block != nullptr && block == g_guard.pendingRecord)
        g_guard.pendingRecordFreed = true;
    free(block);
}

BOOL WINAPI PretendPlatform(LPOSVERSIONINFOA info)
{
    info->dwPlatformId = g_guard.platform;
    return TRUE;
}

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_guard = PretendGuard();
        TraceSetOutputFile(scratch_.File("trace.log").c_str(), "a+");
    }
    void TearDown() override
    {
        DetachTraceFile();
        EXPECT_EQ(g_guard.handlesOpen, 0) << "a device was left open";
        EXPECT_EQ(g_guard.eventsOpen, 0) << "an event was left open";
    }
    std::string Log() { return ReadWholeFile(scratch_.File("trace.log")); }
    // Each request as "device code input-bytes-in-hex/output-length".
    std::vector<std::string> Requests()
    {
        std::vector<std::string> list;
        for (const Request &r : g_guard.requests) {
            std::string line = r.device + " " + Hex(r.code) + " ";
            for (unsigned char c : r.input)
                line += Hex(c, 2);
            list.push_back(line + "/" + std::to_string(r.outputLength));
        }
        return list;
    }
    static std::string Hex(unsigned value, int digits = 0)
    {
        char text[16];
        snprintf(text, sizeof text, digits ? "%02X" : "%X", value);
        return text;
    }

    ScratchFolder scratch_;
    ScopedSysCall<decltype(sys::CreateFileA)> open_{sys::CreateFileA, FakeCreateFile};
    ScopedSysCall<decltype(sys::DeviceIoControl)> control_{sys::DeviceIoControl, FakeDeviceIoControl};
    ScopedSysCall<decltype(sys::CancelIo)> cancel_{sys::CancelIo, FakeCancelIo};
    ScopedSysCall<decltype(sys::WaitForSingleObject)> wait_{sys::WaitForSingleObject, FakeWait};
    ScopedSysCall<decltype(sys::CreateEventA)> event_{sys::CreateEventA, CountedCreateEvent};
    ScopedSysCall<decltype(sys::CloseHandle)> close_{sys::CloseHandle, FakeCloseHandle};
    ScopedSysCall<decltype(sys::free)> free_{sys::free, WatchedFree};
    ScopedSysCall<decltype(sys::GetVersionExA)> version_{sys::GetVersionExA, PretendPlatform};
};

TEST_F(GuardTest, OnNtAGuardThatEchoesTheStateIsSwitchedWithoutALogLine)
{
    unsigned found = RunTallyFound(), failed = RunTallyFailed();
    SwitchGuard(0);
    SwitchGuard(1);
    EXPECT_EQ(Requests(), (std::vector<std::string>{
                              "QVPortivaDev 7E800 3000/0", "QVPortivaDev 7E800 3000/0", "QVPortivaDev 7F010 /2",
                              "QVPortivaDev 7E800 3100/0", "QVPortivaDev 7E800 3100/0", "QVPortivaDev 7F010 /2",
                          }));
    // Both opens of the NT device: read and write, shared, existing, overlapped.
    ASSERT_EQ(g_guard.opens.size(), 4u);
    EXPECT_EQ(g_guard.opens[0], "\\\\.\\QVPortivaDev c0000000 3 3 40000000");
    EXPECT_EQ(g_guard.opens[1], "\\\\.\\QVPortivaDev c0000000 3 3 40000080");
    // Every request on an overlapped handle carries its record.
    for (const Request &r : g_guard.requests)
        EXPECT_TRUE(r.overlapped);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(RunTallyFound(), found);
    EXPECT_EQ(RunTallyFailed(), failed);
}

TEST_F(GuardTest, AnUnconfirmedExchangeFallsBackToTheOlderGuardsForm)
{
    // Phase one refused.
    g_guard.failCode = IOCTL_GUARD_SET_STATE;
    g_guard.failError = ERROR_ACCESS_DENIED;
    HandshakeGuardNt(1);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"QVPortivaDev 7E800 3100/0", "QVPortivaDev 7C454 01000000/0"}));
    EXPECT_EQ(Log(), "PV communication error in first phase 00000005\r\nPV 5.4x communication successful\r\n");

    // Phase two refused, and the older form refused too.
    g_guard = PretendGuard();
    g_guard.failCode = IOCTL_GUARD_READ_STATE;
    g_guard.failError = ERROR_INVALID_FUNCTION;
    HandshakeGuardNt(0);
    EXPECT_EQ(Requests().back(), "QVPortivaDev 7C454 00000000/0");
    EXPECT_NE(Log().find("PV communication error in second phase 00000001\r\nPV 5.4x communication successful\r\n"),
              std::string::npos);

    // An answer left untouched (still 0xABCD) or a wrong one: no line but the fallback's.
    for (auto answer : {PretendGuard::Untouched, PretendGuard::Wrong}) {
        g_guard = PretendGuard();
        g_guard.answer = answer;
        g_guard.failCode = IOCTL_GUARD_SET_STATE_54;
        g_guard.failError = ERROR_GEN_FAILURE;
        size_t before = Log().size();
        HandshakeGuardNt(1);
        EXPECT_EQ(Requests().size(), 3u);
        EXPECT_EQ(Log().substr(before), "PV 5.4x communication error in first phase 0000001F\r\n");
    }
}

TEST_F(GuardTest, WithoutAGuardEachSwitchSaysSoOnce)
{
    g_guard.installed = false;
    SwitchGuard(0);
    SwitchGuard(1);
    EXPECT_TRUE(g_guard.requests.empty());
    EXPECT_EQ(Log(), "Cannot open PV error=2\r\nCannot open PV error=2\r\n");
}

TEST_F(GuardTest, Windows9xSendsTheVxdStateAndTheSettingRecord)
{
    g_guard.platform = VER_PLATFORM_WIN32_WINDOWS;
    SwitchGuard(0);
    SwitchGuard(1);
    ASSERT_EQ(g_guard.requests.size(), 4u);
    EXPECT_EQ(Requests()[0], "KXR 200 3000/0");  // no device name in this registry
    EXPECT_EQ(Requests()[2], "KXR 200 3100/0");
    for (int i : {1, 3}) {
        const Request &r = g_guard.requests[i];
        EXPECT_EQ(r.device, "qvpv95");
        EXPECT_EQ(r.code, 0x7C450u);
        // The OID and its NUL are declared; the 32-bit state follows the NUL.
        EXPECT_EQ(r.input, std::string("1.3.6.1.4.1.4721.12.1.111.2.10", 31));
        EXPECT_EQ(r.beyond, std::string(i == 1 ? "\0\0\0\0" : "\1\0\0\0", 4));
        EXPECT_EQ(r.outputLength, 0u);
    }
    EXPECT_EQ(g_guard.opens[0], "\\\\.\\KXR 0 0 0 4000000");
    EXPECT_EQ(g_guard.opens[1], "\\\\.\\qvpv95 0 0 0 40000000");
    EXPECT_EQ(Log(), "Setting change status =1 error=0\r\nSetting change status =1 error=0\r\n");

    // A refused setting change: the result and the error read after closing.
    g_guard.failCode = IOCTL_GUARD_SET_SETTING;
    g_guard.failError = ERROR_ACCESS_DENIED;
    ChangeGuardSetting9x(1);
    EXPECT_NE(Log().find("Setting change status =0 error=5\r\n"), std::string::npos);
}

TEST_F(GuardTest, APendingRequestIsCancelledCountsAsFailedAndNeverOutlivesItsMemory)
{
    g_guard.pendCode = IOCTL_GUARD_SET_STATE;
    HandshakeGuardNt(0);
    EXPECT_EQ(g_guard.cancels, 1);
    EXPECT_TRUE(g_guard.pendingRecordFreed);  // it came back, so its memory could go
    EXPECT_EQ(Log(), "PV communication error in first phase 000003E5\r\nPV 5.4x communication successful\r\n");

    // A request that does not come back even when cancelled keeps its memory.
    g_guard = PretendGuard();
    g_guard.pendCode = IOCTL_GUARD_READ_STATE;
    g_guard.cancelReturns = false;
    HandshakeGuardNt(1);
    EXPECT_EQ(g_guard.cancels, 1);
    EXPECT_FALSE(g_guard.pendingRecordFreed);
    EXPECT_NE(Log().find("PV communication error in second phase 000003E5\r\n"), std::string::npos);
}

// The 9x device-name value decides the control device.
TEST_F(GuardTest, Windows9xPicksTheControlDeviceByTheRegistryValue)
{
    g_guard.platform = VER_PLATFORM_WIN32_WINDOWS;
    const char *key = "Software\\Vardeko\\Tavrel\\Portiva";
    struct Case {
        const char *data;
        DWORD size;
        const char *device;
    } cases[] = {
        {"PV95", 5, "\\\\.\\PV95"},
        {"PV95", 4, "\\\\.\\PV95"},  // stored without its NUL: the buffer supplies one
        {"pv95", 5, "\\\\.\\KXR"},
        {"PV95 ", 6, "\\\\.\\KXR"},
        {"PV95\0PV95\0PV95\0PV95", 20, "\\\\.\\KXR"},  // too large for the 16-byte buffer
    };
    for (const Case &c : cases) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(k, "DeviceName", 0, REG_SZ, reinterpret_cast<const BYTE *>(c.data), c.size);
        RegCloseKey(k);
        g_guard.opens.clear();
        HANDLE device = OpenGuardControlDevice();
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        FakeCloseHandle(device);
        ASSERT_EQ(g_guard.opens.size(), 1u);
        EXPECT_EQ(g_guard.opens[0].substr(0, g_guard.opens[0].find(' ')), c.device) << c.data;
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Vardeko");
}

// ---------------------------------------------------------------------------
// The guard around a run (the endings of a run are in the fault sweep and the
// system tests).

DWORD g_event;
BOOL g_handlerAnswer;
DWORD WINAPI DeliverConsoleEvent(LPVOID)
{
    g_handlerAnswer = IgnoreConsoleCtrl(g_event);
    return 0;
}

// The system calls a console control handler on a thread of its own.
BOOL AsTheSystemCallsTheHandler(DWORD event)
{
    g_event = event;
    HANDLE thread = CreateThread(nullptr, 0, DeliverConsoleEvent, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return g_handlerAnswer;
}

// A guard that refuses "on" leaves the machine unprotected: the run says so
// and counts it as failed. No guard at all changes nothing.
TEST_F(GuardTest, AGuardThatRefusesToComeBackOnIsReportedAndCountedAsFailed)
{
    for (DWORD platform : {static_cast<DWORD>(VER_PLATFORM_WIN32_NT), static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS)}) {
        g_guard.platform = platform;
        g_guard.refuseAll = false;
        EXPECT_EQ(SwitchGuard(0), GuardTook);
        g_guard.refuseAll = true;
        g_guard.failError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(SwitchGuard(1), GuardRefused);
    }
    // Windows 9x logs the setting request's own error, not the close's.
    EXPECT_NE(Log().find("Setting change status =0 error=5\r\n"), std::string::npos) << Log();

    unsigned failed = RunTallyFailed();
    g_guard.platform = VER_PLATFORM_WIN32_NT;
    g_guard.refuseAll = false;
    SwitchGuardOffForRun();
    g_guard.refuseAll = true;
    EXPECT_FALSE(AsTheSystemCallsTheHandler(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(RunTallyFailed(), failed + 1);
    std::string log = Log();
    EXPECT_NE(log.find("The resident guard could not be switched on again. Please switch it on by hand.\r\n"
                       "The run was interrupted: the system is shutting down\r\n"),
              std::string::npos);

    g_guard.installed = false;
    SwitchGuardOffForRun();
    EXPECT_EQ(SwitchGuardBackOn(), GuardNotThere);
    EXPECT_EQ(RunTallyFailed(), failed + 1);
}

}  // namespace
