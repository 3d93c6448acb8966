// The fault sweep: the whole run, in this process, on a small workstation that
// holds every kind of remnant, once for every call of the system-call table
// failing (a) every time and (b) only the first time, with the error the call
// would really give. Each case checks that nothing crashed, that everything
// taken was given back, that the guard was switched on again, that the log
// ends with the exit line, and that the outcome is honest. Each case appends
// its row to a table that a last test prints.
#include "app/disinfect.h"
#include "app/entry.h"
#include "run/run_mode.h"
#include "run/run_tally.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <wchar.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <map>
#include <tuple>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// What a failing call answers

struct FailureSpec {
    const char *name;
    intptr_t value;  // the failure answer, as bits
    DWORD error;     // GetLastError() after it
    int errnoValue;  // errno after it, for the runtime's calls
    bool releases;   // a release call: the resource goes anyway
};

const FailureSpec kFailures[] = {
    {"GetVersionExA", FALSE, ERROR_INVALID_PARAMETER, 0, false},
    {"GetWindowsDirectoryA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"GetSystemDirectoryA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"GetModuleFileNameA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"GetModuleHandleA", 0, ERROR_MOD_NOT_FOUND, 0, false},
    {"LoadLibraryA", 0, ERROR_MOD_NOT_FOUND, 0, false},
    {"GetProcAddress", 0, ERROR_PROC_NOT_FOUND, 0, false},
    {"FreeLibrary", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"FindResourceA", 0, ERROR_RESOURCE_TYPE_NOT_FOUND, 0, false},
    {"LoadResource", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"LockResource", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"SizeofResource", 0, ERROR_RESOURCE_DATA_NOT_FOUND, 0, false},
    {"OpenProcess", 0, ERROR_ACCESS_DENIED, 0, false},
    {"TerminateProcess", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"CreateThread", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"GetComputerNameA", FALSE, ERROR_BUFFER_OVERFLOW, 0, false},
    {"GetUserNameA", FALSE, ERROR_INSUFFICIENT_BUFFER, 0, false},
    {"SetConsoleCtrlHandler", FALSE, ERROR_INVALID_PARAMETER, 0, false},
    {"GetConsoleTitleA", 0, ERROR_INVALID_HANDLE, 0, false},
    {"SetConsoleTitleA", FALSE, ERROR_INVALID_HANDLE, 0, false},
    {"MessageBoxA", 0, ERROR_INVALID_WINDOW_HANDLE, 0, false},
    {"GetProcessWindowStation", 0, ERROR_ACCESS_DENIED, 0, false},
    {"GetUserObjectInformationA", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"getch", -1, 0, 0, false},
    {"RegisterClassA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"UnregisterClassA", FALSE, ERROR_CLASS_HAS_WINDOWS, 0, true},
    {"CreateWindowExA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"DestroyWindow", FALSE, ERROR_ACCESS_DENIED, 0, true},
    {"MsgWaitForMultipleObjects", -1, ERROR_INVALID_HANDLE, 0, false},
    {"SetEvent", FALSE, ERROR_INVALID_HANDLE, 0, false},
    {"write", -1, 0, ENOSPC, false},
    {"setmode", -1, 0, EINVAL, false},
    {"GetLogicalDriveStringsA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"GetDriveTypeA", DRIVE_UNKNOWN, ERROR_ACCESS_DENIED, 0, false},
    {"GetVolumeInformationA", FALSE, ERROR_NOT_READY, 0, false},
    {"QueryDosDeviceA", 0, ERROR_FILE_NOT_FOUND, 0, false},
    {"FindFirstFileA", -1, ERROR_ACCESS_DENIED, 0, false},
    {"FindNextFileA", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"FindClose", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"GetFileAttributesA", -1, ERROR_ACCESS_DENIED, 0, false},
    {"SetFileAttributesA", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"GetShortPathNameA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"MoveFileExA", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"remove", -1, 0, EACCES, false},
    {"rename", -1, 0, EACCES, false},
    {"MultiByteToWideChar", 0, ERROR_NO_UNICODE_TRANSLATION, 0, false},
    {"WideCharToMultiByte", 0, ERROR_NO_UNICODE_TRANSLATION, 0, false},
    {"FindFirstFileW", -1, ERROR_ACCESS_DENIED, 0, false},
    {"FindNextFileW", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"CreateFileW", -1, ERROR_ACCESS_DENIED, 0, false},
    {"MoveFileExW", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"GetFileAttributesW", -1, ERROR_ACCESS_DENIED, 0, false},
    {"SetFileAttributesW", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"wfopen", 0, 0, EACCES, false},
    {"wremove", -1, 0, EACCES, false},
    {"CreateDirectoryW", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"GetFileInformationByHandle", FALSE, ERROR_INVALID_HANDLE, 0, false},
    {"NtSetInformationFile", static_cast<LONG>(0xC0000022L), ERROR_ACCESS_DENIED, 0, false},
    {"NtQueryInformationFile", static_cast<LONG>(0xC0000022L), ERROR_ACCESS_DENIED, 0, false},
    {"NtCreateFile", static_cast<LONG>(0xC0000022L), ERROR_ACCESS_DENIED, 0, false},
    {"GetSecurityInfo", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", FALSE, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"CreateFileA", -1, ERROR_ACCESS_DENIED, 0, false},
    {"SetFilePointer", -1, ERROR_NEGATIVE_SEEK, 0, false},
    {"ReadFile", FALSE, ERROR_READ_FAULT, 0, false},
    {"WriteFile", FALSE, ERROR_DISK_FULL, 0, false},
    {"CryptAcquireContextA", FALSE, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF), 0, false},
    {"CryptReleaseContext", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"CryptCreateHash", FALSE, static_cast<DWORD>(NTE_BAD_ALGID), 0, false},
    {"CryptHashData", FALSE, static_cast<DWORD>(NTE_BAD_HASH), 0, false},
    {"CryptGetHashParam", FALSE, static_cast<DWORD>(NTE_BAD_HASH), 0, false},
    {"CryptDestroyHash", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"CryptGenRandom", FALSE, static_cast<DWORD>(NTE_FAIL), 0, false},
    {"OpenProcessToken", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"GetTokenInformation", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"AllocateAndInitializeSid", FALSE, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"LookupPrivilegeValueA", FALSE, ERROR_NO_SUCH_PRIVILEGE, 0, false},
    {"AdjustTokenPrivileges", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"CloseHandle", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"DeviceIoControl", FALSE, ERROR_INVALID_FUNCTION, 0, false},
    {"CreateEventA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"CreateSemaphoreA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"CancelIo", FALSE, ERROR_INVALID_HANDLE, 0, false},
    {"WaitForSingleObject", -1, ERROR_INVALID_HANDLE, 0, false},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"RegDeleteValueA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"RegCloseKey", ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE, 0, true},
    {"RegQueryValueExA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"RegEnumKeyExA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"RegCreateKeyExA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"ExpandEnvironmentStringsA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"RegLoadKeyW", ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, 0, false},
    {"RegUnLoadKeyW", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"RegSetValueExA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, false},
    {"CopyFileA", FALSE, ERROR_SHARING_VIOLATION, 0, false},
    {"RegisterEventSourceA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"ReportEventA", FALSE, ERROR_LOG_FILE_FULL, 0, false},
    {"DeregisterEventSource", FALSE, ERROR_INVALID_HANDLE, 0, true},
    {"malloc", 0, 0, ENOMEM, false},
    {"strdup", 0, 0, ENOMEM, false},
    {"fopen", 0, 0, EACCES, false},
    {"fgets", 0, 0, EIO, false},
    {"ferror", 1, 0, 0, false},
    {"fputs", EOF, 0, EIO, false},
    {"fflush", EOF, 0, EIO, false},
    {"fclose", EOF, 0, EIO, true},
    {"ConvertSidToStringSidA", FALSE, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"SetDefaultDllDirectories", FALSE, ERROR_INVALID_PARAMETER, 0, false},
    {"SetDllDirectoryA", FALSE, ERROR_INVALID_PARAMETER, 0, false},
    {"IsWow64Process", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"Wow64DisableWow64FsRedirection", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"Wow64RevertWow64FsRedirection", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"CreateToolhelp32Snapshot", -1, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"Process32First", FALSE, ERROR_NO_MORE_FILES, 0, false},
    {"Process32Next", FALSE, ERROR_NO_MORE_FILES, 0, false},
    {"Module32First", FALSE, ERROR_PARTIAL_COPY, 0, false},
    {"QueryFullProcessImageNameA", FALSE, ERROR_ACCESS_DENIED, 0, false},
    {"EnumProcesses", FALSE, ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {"EnumProcessModules", FALSE, ERROR_PARTIAL_COPY, 0, false},
    {"GetModuleFileNameExA", 0, ERROR_PARTIAL_COPY, 0, false},
    {"GetProcessImageFileNameA", 0, ERROR_ACCESS_DENIED, 0, false},
    {"RmStartSession", ERROR_SEM_TIMEOUT, 0, 0, false},
    {"RmRegisterResources", ERROR_NOT_ENOUGH_MEMORY, 0, 0, false},
    {"RmGetList", ERROR_ACCESS_DENIED, 0, 0, false},
    {"RmEndSession", ERROR_INVALID_HANDLE, 0, 0, true},
};

// Calls that cannot fail, or whose every answer is a valid one, are not
// made to fail: Sleep, GetCurrentProcessId, GetSystemInfo, GetTickCount, GetLocalTime, GetSystemTime,
// SetUnhandledExceptionFilter, SetErrorMode,
// OutputDebugStringA, GetCurrentProcess, IsDBCSLeadByte, EqualSid, FreeSid, LocalFree, free, DefWindowProcA,
// PeekMessageA (no message is an answer), DispatchMessageA, GetSystemMetrics (0, the session's end
// unconfirmed, is its failure and an answer), WaitForMultipleObjects (the session
// watch's bounded wait on its own event and thread), fileno (of the
// runtime's own stdout); and GetModuleBaseNameA and VDMEnumTaskWOWEx, which
// are looked up but never called.

// ---------------------------------------------------------------------------
// One fault point per row of the table: every call goes through it; the armed
// one fails.

enum Mode { Always, FirstUseOnly, NthAllocation };

struct FaultPoint {
    const FailureSpec *failure = nullptr;
    Mode mode = Always;
    unsigned calls = 0;
    unsigned failures = 0;
};

#define VORNIK_ROW_INDEX(name, real) Row_##name,
enum RowIndex { VORNIK_SYSCALLS(VORNIK_ROW_INDEX) RowCount };
#undef VORNIK_ROW_INDEX

FaultPoint g_points[RowCount];

template <typename R>
R FromBits(intptr_t bits)
{
    if constexpr (std::is_pointer_v<R>)
        return reinterpret_cast<R>(bits);
    else
        return static_cast<R>(bits);
}

// Whether this call of the row fails (and then sets its error).
// The allocation torture: every allocation (malloc or strdup) is numbered,
// and the one numbered g_failAllocation fails.
unsigned g_allocations = 0;
unsigned g_failAllocation = 0;

// The drive walk's reader threads call through the table too: the counts and
// the books of what was taken are kept under one lock, so "first use" is the
// first call on any thread.
struct SweepLock {
    CRITICAL_SECTION section;
    SweepLock() { InitializeCriticalSection(&section); }
};
SweepLock g_sweepLock;

struct Locked {
    Locked() { EnterCriticalSection(&g_sweepLock.section); }
    ~Locked() { LeaveCriticalSection(&g_sweepLock.section); }
};

bool Fails(int row)
{
    Locked locked;
    FaultPoint &point = g_points[row];
    ++point.calls;
    if (point.failure == nullptr)
        return false;
    if (point.mode == NthAllocation) {
        if (++g_allocations != g_failAllocation)
            return false;
    } else if (point.mode == FirstUseOnly && point.failures != 0) {
        return false;
    }
    ++point.failures;
    return true;
}

void SetFailureError(int row)
{
    SetLastError(g_points[row].failure->error);
    errno = g_points[row].failure->errnoValue;
}

template <int Row, typename F>
struct Stub;

// What every stub does, whatever its calling convention: pass the call
// down, or fail it (a release still releases).
template <int Row, typename R, typename Below, typename... A>
R PassOrFail(Below below, A... args)
{
    if (!Fails(Row))
        return below(args...);
    if constexpr (std::is_void_v<R>) {
        below(args...);
    } else {
        if (g_points[Row].failure->releases)
            below(args...);
        SetFailureError(Row);
        return FromBits<R>(g_points[Row].failure->value);
    }
}

template <int Row, typename R, typename... A>
struct Stub<Row, R(__stdcall *)(A...)> {
    static inline R(__stdcall *below)(A...) = nullptr;
    static R __stdcall Call(A... args) { return PassOrFail<Row, R>(below, args...); }
};

template <int Row, typename R, typename... A>
struct Stub<Row, R(__cdecl *)(A...)> {
    static inline R(__cdecl *below)(A...) = nullptr;
    static R __cdecl Call(A... args) { return PassOrFail<Row, R>(below, args...); }
};

void InstallFaultPoints()
{
#define VORNIK_INSTALL(name, real)                                       \
    Stub<Row_##name, decltype(sys::name)>::below = sys::name;            \
    sys::name = &Stub<Row_##name, decltype(sys::name)>::Call;
    VORNIK_SYSCALLS(VORNIK_INSTALL)
#undef VORNIK_INSTALL
}

void RemoveFaultPoints()
{
#define VORNIK_REMOVE(name, real) sys::name = Stub<Row_##name, decltype(sys::name)>::below;
    VORNIK_SYSCALLS(VORNIK_REMOVE)
#undef VORNIK_REMOVE
}

// ---------------------------------------------------------------------------
// Everything the run takes and gives back, counted between the system and the
// fault points.

std::map<uintptr_t, std::string> g_live;  // resource -> what it is
std::map<uintptr_t, int> g_libraries;      // module -> loads not yet freed

void Took(const void *resource, const std::string &what)
{
    Locked locked;
    if (resource != nullptr && resource != INVALID_HANDLE_VALUE)
        g_live[reinterpret_cast<uintptr_t>(resource)] = what;
}

void Gave(const void *resource)
{
    Locked locked;
    g_live.erase(reinterpret_cast<uintptr_t>(resource));
}

struct Counted {
    static inline decltype(sys::CreateFileA) createFileA;
    static inline decltype(sys::CreateFileW) createFileW;
    static inline decltype(sys::NtCreateFile) ntCreateFile;
    static inline decltype(sys::FindFirstFileA) findFirstA;
    static inline decltype(sys::FindFirstFileW) findFirstW;
    static inline decltype(sys::fopen) fopen;
    static inline decltype(sys::wfopen) wfopen;
    static inline decltype(sys::RegOpenKeyExA) regOpen;
    static inline decltype(sys::RegCreateKeyExA) regCreate;
    static inline decltype(sys::RegisterEventSourceA) openSource;
    static inline decltype(sys::DeregisterEventSource) closeSource;
    static inline decltype(sys::OpenProcessToken) openToken;
    static inline decltype(sys::OpenProcess) openProcess;
    static inline decltype(sys::LoadLibraryA) loadLibrary;
    static inline decltype(sys::CreateEventA) createEvent;
    static inline decltype(sys::CreateThread) createThread;
    static inline decltype(sys::CreateSemaphoreA) createSemaphore;
    static inline decltype(sys::malloc) malloc;
    static inline decltype(sys::strdup) strdup;
    static inline decltype(sys::AllocateAndInitializeSid) allocateSid;
    static inline decltype(sys::CloseHandle) closeHandle;
    static inline decltype(sys::FindClose) findClose;
    static inline decltype(sys::fclose) fclose;
    static inline decltype(sys::RegCloseKey) regClose;
    static inline decltype(sys::FreeLibrary) freeLibrary;
    static inline decltype(sys::free) free;
    static inline decltype(sys::FreeSid) freeSid;
    static inline decltype(sys::RegisterClassA) registerClass;
    static inline decltype(sys::UnregisterClassA) unregisterClass;
    static inline decltype(sys::CryptAcquireContextA) acquireContext;
    static inline decltype(sys::CryptReleaseContext) releaseContext;
    static inline decltype(sys::CryptCreateHash) createHash;
    static inline decltype(sys::CryptDestroyHash) destroyHash;

    static HANDLE WINAPI CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t)
    {
        HANDLE h = createFileA(p, a, s, sa, d, f, t);
        Took(h, std::string("file ") + p);
        return h;
    }
    static HANDLE WINAPI CreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                                     HANDLE t)
    {
        HANDLE h = createFileW(p, a, s, sa, d, f, t);
        Took(h, "file (wide name)");
        return h;
    }
    static LONG NTAPI NtCreateFile(HANDLE *h, ACCESS_MASK a, void *o, void *io, LARGE_INTEGER *z, ULONG t, ULONG s,
                                   ULONG d, ULONG c, void *e, ULONG n)
    {
        LONG status = ntCreateFile(h, a, o, io, z, t, s, d, c, e, n);
        if (status >= 0)
            Took(*h, "file (relative name)");
        return status;
    }
    static HANDLE WINAPI FindFirstFileA(LPCSTR p, LPWIN32_FIND_DATAA d)
    {
        HANDLE h = findFirstA(p, d);
        Took(h, std::string("search ") + p);
        return h;
    }
    static HANDLE WINAPI FindFirstFileW(LPCWSTR p, LPWIN32_FIND_DATAW d)
    {
        HANDLE h = findFirstW(p, d);
        Took(h, "search (wide name)");
        return h;
    }
    static FILE *__cdecl Fopen(const char *p, const char *m)
    {
        FILE *s = fopen(p, m);
        Took(s, std::string("stream ") + p);
        return s;
    }
    static FILE *__cdecl Wfopen(const wchar_t *p, const wchar_t *m)
    {
        FILE *s = wfopen(p, m);
        Took(s, "stream (wide name)");
        return s;
    }
    static LONG WINAPI RegOpenKeyExA(HKEY hive, LPCSTR path, DWORD o, REGSAM a, PHKEY key)
    {
        LONG status = regOpen(hive, path, o, a, key);
        if (status == ERROR_SUCCESS)
            Took(*key, std::string("key ") + path);
        return status;
    }
    static LONG WINAPI RegCreateKeyExA(HKEY hive, LPCSTR path, DWORD r, LPSTR c, DWORD o, REGSAM a,
                                       LPSECURITY_ATTRIBUTES s, PHKEY key, LPDWORD d)
    {
        LONG status = regCreate(hive, path, r, c, o, a, s, key, d);
        if (status == ERROR_SUCCESS)
            Took(*key, std::string("key ") + path);
        return status;
    }
    static HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR name)
    {
        HANDLE source = openSource(server, name);
        Took(source, "event source");
        return source;
    }
    static BOOL WINAPI DeregisterEventSource(HANDLE source)
    {
        Gave(source);
        return closeSource(source);
    }
    static BOOL WINAPI OpenProcessToken(HANDLE p, DWORD a, PHANDLE token)
    {
        BOOL ok = openToken(p, a, token);
        if (ok)
            Took(*token, "token");
        return ok;
    }
    static HANDLE WINAPI OpenProcess(DWORD a, BOOL i, DWORD id)
    {
        HANDLE h = openProcess(a, i, id);
        Took(h, "process " + std::to_string(id));
        return h;
    }
    static HMODULE WINAPI LoadLibraryA(LPCSTR name)
    {
        HMODULE m = loadLibrary(name);
        if (m != nullptr)
            ++g_libraries[reinterpret_cast<uintptr_t>(m)];
        return m;
    }
    static HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL r, BOOL s, LPCSTR n)
    {
        HANDLE h = createEvent(sa, r, s, n);
        Took(h, "event");
        return h;
    }
    static HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES sa, LONG initial, LONG maximum, LPCSTR name)
    {
        HANDLE h = createSemaphore(sa, initial, maximum, name);
        Took(h, "semaphore");
        return h;
    }
    static HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                      LPVOID parameter, DWORD flags, LPDWORD id)
    {
        HANDLE h = createThread(sa, stack, start, parameter, flags, id);
        Took(h, "thread");
        return h;
    }
    static void *__cdecl Malloc(size_t size)
    {
        void *block = malloc(size);
        Took(block, "block of " + std::to_string(size) + " bytes");
        return block;
    }
    static char *__cdecl Strdup(const char *text)
    {
        char *copy = strdup(text);
        Took(copy, std::string("copy of ") + text);
        return copy;
    }
    static BOOL WINAPI AllocateSid(PSID_IDENTIFIER_AUTHORITY a, BYTE n, DWORD s0, DWORD s1, DWORD s2, DWORD s3,
                                   DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID *sid)
    {
        BOOL ok = allocateSid(a, n, s0, s1, s2, s3, s4, s5, s6, s7, sid);
        if (ok)
            Took(*sid, "SID");
        return ok;
    }
    static BOOL WINAPI CloseHandle(HANDLE h)
    {
        Gave(h);
        return closeHandle(h);
    }
    static BOOL WINAPI FindClose(HANDLE h)
    {
        Gave(h);
        return findClose(h);
    }
    static int __cdecl Fclose(FILE *s)
    {
        Gave(s);
        return fclose(s);
    }
    static LONG WINAPI RegCloseKey(HKEY k)
    {
        Gave(k);
        return regClose(k);
    }
    static BOOL WINAPI FreeLibrary(HMODULE m)
    {
        auto it = g_libraries.find(reinterpret_cast<uintptr_t>(m));
        if (it != g_libraries.end() && --it->second == 0)
            g_libraries.erase(it);
        return freeLibrary(m);
    }
    static void __cdecl Free(void *block)
    {
        Gave(block);
        free(block);
    }
    static PVOID WINAPI FreeSid(PSID sid)
    {
        Gave(sid);
        return freeSid(sid);
    }
    // The class is registered and unregistered by its atom.
    static ATOM WINAPI RegisterClassA(const WNDCLASSA *c)
    {
        ATOM atom = registerClass(c);
        Took(MAKEINTATOM(atom), "window class");
        return atom;
    }
    static BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE i) { Gave(name); return unregisterClass(name, i); }
    // The CryptoAPI's context and hash are numbers, told apart by a mark.
    static BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *p, LPCSTR c, LPCSTR n, DWORD t, DWORD f)
    {
        BOOL ok = acquireContext(p, c, n, t, f);
        if (ok)
            Took(reinterpret_cast<void *>(*p ^ 1), "crypto context");
        return ok;
    }
    static BOOL WINAPI CryptReleaseContext(HCRYPTPROV p, DWORD f)
    {
        Gave(reinterpret_cast<void *>(p ^ 1));
        return releaseContext(p, f);
    }
    static BOOL WINAPI CryptCreateHash(HCRYPTPROV p, ALG_ID a, HCRYPTKEY k, DWORD f, HCRYPTHASH *h)
    {
        BOOL ok = createHash(p, a, k, f, h);
        if (ok)
            Took(reinterpret_cast<void *>(*h ^ 2), "hash");
        return ok;
    }
    static BOOL WINAPI CryptDestroyHash(HCRYPTHASH h)
    {
        Gave(reinterpret_cast<void *>(h ^ 2));
        return destroyHash(h);
    }
};

#define VORNIK_COUNT(row, field, wrapper) \
    Counted::field = sys::row;            \
    sys::row = &Counted::wrapper;

void InstallCounting()
{
    VORNIK_COUNT(CreateFileA, createFileA, CreateFileA)
    VORNIK_COUNT(CreateFileW, createFileW, CreateFileW)
    VORNIK_COUNT(NtCreateFile, ntCreateFile, NtCreateFile)
    VORNIK_COUNT(FindFirstFileA, findFirstA, FindFirstFileA)
    VORNIK_COUNT(FindFirstFileW, findFirstW, FindFirstFileW)
    VORNIK_COUNT(fopen, fopen, Fopen)
    VORNIK_COUNT(wfopen, wfopen, Wfopen)
    VORNIK_COUNT(RegOpenKeyExA, regOpen, RegOpenKeyExA)
    VORNIK_COUNT(RegCreateKeyExA, regCreate, RegCreateKeyExA)
    VORNIK_COUNT(RegisterEventSourceA, openSource, RegisterEventSourceA)
    VORNIK_COUNT(DeregisterEventSource, closeSource, DeregisterEventSource)
    VORNIK_COUNT(OpenProcessToken, openToken, OpenProcessToken)
    VORNIK_COUNT(OpenProcess, openProcess, OpenProcess)
    VORNIK_COUNT(LoadLibraryA, loadLibrary, LoadLibraryA)
    VORNIK_COUNT(CreateEventA, createEvent, CreateEventA)
    VORNIK_COUNT(CreateThread, createThread, CreateThread)
    VORNIK_COUNT(CreateSemaphoreA, createSemaphore, CreateSemaphoreA)
    VORNIK_COUNT(malloc, malloc, Malloc)
    VORNIK_COUNT(strdup, strdup, Strdup)
    VORNIK_COUNT(AllocateAndInitializeSid, allocateSid, AllocateSid)
    VORNIK_COUNT(CloseHandle, closeHandle, CloseHandle)
    VORNIK_COUNT(FindClose, findClose, FindClose)
    VORNIK_COUNT(fclose, fclose, Fclose)
    VORNIK_COUNT(RegCloseKey, regClose, RegCloseKey)
    VORNIK_COUNT(FreeLibrary, freeLibrary, FreeLibrary)
    VORNIK_COUNT(free, free, Free)
    VORNIK_COUNT(FreeSid, freeSid, FreeSid)
    VORNIK_COUNT(RegisterClassA, registerClass, RegisterClassA)
    VORNIK_COUNT(UnregisterClassA, unregisterClass, UnregisterClassA)
    VORNIK_COUNT(CryptAcquireContextA, acquireContext, CryptAcquireContextA)
    VORNIK_COUNT(CryptReleaseContext, releaseContext, CryptReleaseContext)
    VORNIK_COUNT(CryptCreateHash, createHash, CryptCreateHash)
    VORNIK_COUNT(CryptDestroyHash, destroyHash, CryptDestroyHash)
}
#undef VORNIK_COUNT

// ---------------------------------------------------------------------------
// The workstation: a folder standing for the only fixed drive, its Windows
// folder, Run keys moved to a test key, a guard that echoes, delayed moves
// recorded, an administrator who presses OK and a key.

std::string g_root;        // "...\root\" as the drive list gives it
std::string g_windowsDir;  // g_root + "windows"
std::string g_runKeys;     // where the two Run keys are moved to, under HKCU
std::vector<std::string> g_scheduled;  // sources of delayed moves
std::string g_debugger;
int g_guardHandshakes = 0;
std::vector<char> g_guardStates;  // every state the guard was set to

const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

UINT WINAPI PretendDriveType(LPCSTR root)
{
    // The processes' images lie on C: (the pretend worm's too).
    // Z: holds the test programs: another case running beside this one is a
    // process on a fixed drive, as the tool's own process is.
    return g_root == root || strcmp(root, "C:\\") == 0 || strcmp(root, "Z:\\") == 0 ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

UINT WINAPI PretendWindowsDirectory(LPSTR buffer, UINT size)
{
    if (g_windowsDir.size() >= size)
        return static_cast<UINT>(g_windowsDir.size() + 1);
    strcpy(buffer, g_windowsDir.c_str());
    return static_cast<UINT>(g_windowsDir.size());
}

bool g_windows9x = false;  // the flavour of the workstation

BOOL WINAPI PretendVersion(LPOSVERSIONINFOA info)
{
    BOOL ok = GetVersionExA(info);
    if (ok && g_windows9x) {
        info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
        info->dwMajorVersion = 4;
        info->dwMinorVersion = 10;
    }
    return ok;
}

// A user who is not logged on: the pretend RegLoadKeyW makes a test key the hive.
const char kProfileListPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const char kOwnHiveKey[] = "T-Vornik.S-1-5-21-9-9-9-1001";
bool g_hiveLoaded = false;

LONG WINAPI PretendLoadHive(HKEY, LPCWSTR, LPCWSTR) { g_hiveLoaded = true; return ERROR_SUCCESS; }
LONG WINAPI PretendUnloadHive(HKEY, LPCWSTR) { return g_hiveLoaded ? (g_hiveLoaded = false, 0) : ERROR_INVALID_PARAMETER; }

// The Run keys, the guard's device-name key, the profile list and the loaded
// hive live under a test key.
LONG WINAPI MovedKeys(HKEY hive, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (path != nullptr && hive == HKEY_LOCAL_MACHINE && _stricmp(path, kProfileListPath) == 0)
        return RegOpenKeyExA(HKEY_CURRENT_USER, (g_runKeys + "\\Profiles").c_str(), options, access, key);
    size_t own = sizeof kOwnHiveKey - 1;
    if (path != nullptr && hive == HKEY_USERS && g_hiveLoaded && _strnicmp(path, kOwnHiveKey, own) == 0)
        return RegOpenKeyExA(HKEY_CURRENT_USER, (g_runKeys + "\\Hive" + (path + own)).c_str(), options, access, key);
    if (path != nullptr && _stricmp(path, kRunKeyPath) == 0 && (hive == HKEY_LOCAL_MACHINE || hive == HKEY_CURRENT_USER)) {
        std::string moved = g_runKeys + (hive == HKEY_LOCAL_MACHINE ? "\\HKLM" : "\\HKCU");
        return RegOpenKeyExA(HKEY_CURRENT_USER, moved.c_str(), options, access, key);
    }
    if (path != nullptr && _stricmp(path, "Software\\Vardeko\\Tavrel\\Portiva") == 0 && hive == HKEY_LOCAL_MACHINE)
        return RegOpenKeyExA(HKEY_CURRENT_USER, (g_runKeys + "\\Guard").c_str(), options, access, key);
    return RegOpenKeyExA(hive, path, options, access, key);
}

BOOL WINAPI RecordedDelayedMove(LPCSTR source, LPCSTR destination, DWORD flags)
{
    (void)destination;
    (void)flags;
    g_scheduled.push_back(source);
    return TRUE;
}

BOOL WINAPI RecordedDelayedMoveW(LPCWSTR source, LPCWSTR destination, DWORD flags)
{
    (void)destination;
    (void)flags;
    char narrow[1024];
    WideCharToMultiByte(CP_ACP, 0, source, -1, narrow, sizeof narrow, nullptr, nullptr);
    std::string path = narrow;
    if (path.compare(0, 4, "\\\\?\\") == 0)
        path = path.substr(4);
    g_scheduled.push_back(path);
    return TRUE;
}

// The guard: the NT device, or on Windows 9x the control and setting devices.
const uintptr_t kGuardHandle = 0x6A00;
bool g_guardPending = false;  // a request is out; CancelIo ends it
int g_readBacks = 0;

HANDLE WINAPI PretendGuardDevices(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile)
{
    bool nt = strcmp(path, "\\\\.\\QVPortivaDev") == 0;
    bool control9x = strcmp(path, "\\\\.\\PV95") == 0 || strcmp(path, "\\\\.\\KXR") == 0;
    bool setting9x = strcmp(path, "\\\\.\\qvpv95") == 0;
    if (nt ? !g_windows9x : (control9x || setting9x) && g_windows9x) {
        if ((nt && (flags & FILE_ATTRIBUTE_NORMAL)) || setting9x)
            ++g_guardHandshakes;
        return reinterpret_cast<HANDLE>(kGuardHandle);
    }
    if (strncmp(path, "\\\\.\\", 4) == 0) {
        SetLastError(g_windows9x ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path, access, share, security, disposition, flags, templateFile);
}

uint16_t g_guardState = 1;
BOOL WINAPI PretendGuardControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                                DWORD outputLength, LPDWORD returned, LPOVERLAPPED)
{
    if (device != reinterpret_cast<HANDLE>(kGuardHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *returned = 0;
    const char *in = static_cast<const char *>(input);
    if (code == 0x7E800 || code == 0x200) {
        g_guardStates.push_back(in[0]);
        g_guardState = static_cast<uint16_t>(in[0] - '0');
    } else if (code == 0x7C454) {
        g_guardStates.push_back(static_cast<char>('0' + in[0]));
    } else if (code == 0x7C450 && inputLength == 31) {
        g_guardStates.push_back(static_cast<char>('0' + in[31]));
    } else if (code == 0x7F010 && outputLength >= 2) {
        // The first read-back is slow: it stays out until it is cancelled.
        if (++g_readBacks == 1) {
            g_guardPending = true;
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        memcpy(output, &g_guardState, 2);
        *returned = 2;
    }
    return TRUE;
}

BOOL WINAPI PretendCancel(HANDLE device)
{
    if (device != reinterpret_cast<HANDLE>(kGuardHandle))
        return CancelIo(device);
    g_guardPending = false;
    return TRUE;
}

DWORD WINAPI PretendWait(HANDLE handle, DWORD milliseconds)
{
    (void)handle;
    (void)milliseconds;
    return g_guardPending ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

// One more running process, whose image is a worm copy: listed, opened and
// ended through the same entry points as the real ones.
const DWORD kWormProcessId = 0x7FFF0;
const uintptr_t kWormProcessHandle = 0x6B00;
std::string g_wormImage;
bool g_wormRunning = false;
bool g_reportOnly = false;  // the run only looks: /REPORTONLY
decltype(sys::GetProcAddress) g_realGetProcAddress = GetProcAddress;
BOOL(WINAPI *g_realEnumProcesses)(DWORD *, DWORD, DWORD *);
BOOL(WINAPI *g_realFullName)(HANDLE, DWORD, LPSTR, PDWORD);

BOOL WINAPI PretendEnumProcesses(DWORD *ids, DWORD bytes, DWORD *returned)
{
    if (!g_realEnumProcesses(ids, bytes - sizeof(DWORD), returned))
        return FALSE;
    if (g_wormRunning) {
        ids[*returned / sizeof(DWORD)] = kWormProcessId;
        *returned += sizeof(DWORD);
    }
    return TRUE;
}

BOOL WINAPI PretendFullName(HANDLE process, DWORD flags, LPSTR name, PDWORD size)
{
    if (process != reinterpret_cast<HANDLE>(kWormProcessHandle))
        return g_realFullName(process, flags, name, size);
    *size = static_cast<DWORD>(snprintf(name, *size, "%s", g_wormImage.c_str()));
    return TRUE;
}

FARPROC WINAPI PretendGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC real = g_realGetProcAddress(module, name);
    if (real == nullptr || reinterpret_cast<uintptr_t>(name) < 0x10000)
        return real;
    if (strcmp(name, "EnumProcesses") == 0) {
        g_realEnumProcesses = reinterpret_cast<decltype(g_realEnumProcesses)>(reinterpret_cast<void *>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(PretendEnumProcesses));
    }
    if (strcmp(name, "QueryFullProcessImageNameA") == 0) {
        g_realFullName = reinterpret_cast<decltype(g_realFullName)>(reinterpret_cast<void *>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(PretendFullName));
    }
    return real;
}

// The running worm's image refuses an open for writing, as a mapped file does.
HANDLE WINAPI PretendFiles(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE templateFile)
{
    if (g_wormRunning && (access & GENERIC_WRITE) && _stricmp(path, g_wormImage.c_str()) == 0) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return PretendGuardDevices(path, access, share, security, disposition, flags, templateFile);
}

HANDLE WINAPI PretendOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    if (id == kWormProcessId && g_wormRunning)
        return reinterpret_cast<HANDLE>(kWormProcessHandle);
    return OpenProcess(access, inherit, id);
}

BOOL WINAPI PretendTerminate(HANDLE process, UINT exitCode)
{
    if (process != reinterpret_cast<HANDLE>(kWormProcessHandle))
        return TerminateProcess(process, exitCode);
    g_wormRunning = false;
    return TRUE;
}

void WINAPI NoPause(DWORD)
{
}

BOOL WINAPI PretendClose(HANDLE handle)
{
    if (handle == reinterpret_cast<HANDLE>(kGuardHandle) || handle == reinterpret_cast<HANDLE>(kWormProcessHandle))
        return TRUE;
    return CloseHandle(handle);
}

int WINAPI PressOk(HWND, LPCSTR, LPCSTR, UINT)
{
    return IDOK;
}

int __cdecl PressAKey(void)
{
    return 'x';
}

void WINAPI RecordedDebugger(LPCSTR text)
{
    g_debugger += text;
}

// ---------------------------------------------------------------------------
// The case

struct Case {
    const FailureSpec *failure;
    Mode mode;
    bool windows9x;
};

std::string CaseName(const Case &c)
{
    return std::string(c.failure->name) + (c.mode == Always ? "_always" : "_first") + (c.windows9x ? "_9x" : "_nt");
}

void PrintTo(const Case &c, std::ostream *os)
{
    *os << CaseName(c);
}

void MakeFolders(const std::string &path)
{
    for (size_t at = g_root.size(); (at = path.find('\\', at)) != std::string::npos; ++at)
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
}

void Plant(const std::string &path, const std::string &bytes, bool readOnly = false)
{
    MakeFolders(path);
    WriteFileBytes(path, bytes);
    if (readOnly)
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

void RemoveTree(const std::string &folder)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

bool HasValue(const std::string &key, const char *name)
{
    return RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string LastLine(const std::string &text, const char *eol)
{
    size_t end = text.size();
    size_t eolSize = strlen(eol);
    if (end >= eolSize && text.compare(end - eolSize, eolSize, eol) == 0)
        end -= eolSize;
    size_t start = text.rfind(eol, end == 0 ? 0 : end - 1);
    start = start == std::string::npos ? 0 : start + eolSize;
    return text.substr(start, end - start);
}

// What one run left behind and said.
struct SweepOutcome {
    int exitCode = 0;
    std::string row;  // the table row
    std::map<uintptr_t, std::string> leaks;
    std::map<uintptr_t, int> librariesLeft;
    bool requestLeftToGuard = false;
    bool dishonest = false;
    bool changed = false;  // a report-only run changed what it found
    bool refused = false;
    bool exitLine = false;
    std::string lastLine;
    int guardHandshakes = 0;
    std::string guardStates;
    std::string console;
};

int RowIndexOf(const char *name)
{
    int index = 0;
    for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row, ++index)
        if (strcmp(row->name, name) == 0)
            return index;
    return -1;
}

// Plants the workstation, runs the tool in this process with the given calls
// failing, and looks at what is left. The counters of the run are the change
// in RunTally, so runs may follow one another in one process.
// A path of any length, as the system's wide calls take it.
std::wstring Wide(const std::string &path)
{
    wchar_t wide[2048];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 2048);
    return std::wstring(L"\\\\?\\") + wide;
}

bool IsThere(const std::string &path)
{
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTreeW(const std::wstring &folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTreeW(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

void PlantDeep(const std::string &path, const std::string &bytes)
{
    std::wstring wide = Wide(path);
    for (size_t at = Wide(g_root).size(); (at = wide.find(L'\\', at)) != std::wstring::npos; ++at)
        CreateDirectoryW(wide.substr(0, at).c_str(), nullptr);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// How a run may end early, delivered in the middle of the walk as the system
// delivers it: a console event to the handler on a thread of the system's,
// or an exception from a failing call to the unhandled-exception filter. The
// process would end right after; what the log and the guard hold then is
// what the machine is left with.
enum Interruption { NotInterrupted, ConsoleClosed, LoggedOff, ShutDown, Crashed };
Interruption g_interruption = NotInterrupted;
int g_searchSteps = 0;
std::string g_logAtEnd, g_guardAtEnd;
long g_endAnswer = 0;

DWORD WINAPI DeliverEvent(LPVOID event)
{
    g_endAnswer = IgnoreConsoleCtrl(static_cast<DWORD>(reinterpret_cast<uintptr_t>(event)));
    return 0;
}

BOOL WINAPI InterruptedSearch(HANDLE search, LPWIN32_FIND_DATAA entry)
{
    if (++g_searchSteps == 5 && g_interruption != NotInterrupted) {
        if (g_interruption == Crashed) {
            LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
            SetUnhandledExceptionFilter(filter);
            EXCEPTION_RECORD record;
            memset(&record, 0, sizeof record);
            record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
            EXCEPTION_POINTERS pointers = {&record, nullptr};
            g_endAnswer = filter != nullptr ? filter(&pointers) : -1;
        } else {
            DWORD event = g_interruption == ConsoleClosed ? CTRL_CLOSE_EVENT
                          : g_interruption == LoggedOff   ? CTRL_LOGOFF_EVENT
                                                          : CTRL_SHUTDOWN_EVENT;
            HANDLE thread = CreateThread(nullptr, 0, DeliverEvent, reinterpret_cast<LPVOID>(event), 0, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        g_logAtEnd = ReadWholeFile(g_windowsDir + "\\T-Vornik.log");
        g_guardAtEnd.assign(g_guardStates.begin(), g_guardStates.end());
    }
    return FindNextFileA(search, entry);
}

SweepOutcome RunSweep(const std::vector<const FailureSpec *> &failing, Mode mode, bool windows9x,
                      const std::string &label)
{
    SweepOutcome outcome;
    g_windows9x = windows9x;
    g_guardPending = false;
    g_readBacks = 0;
    ScratchFolder scratch;
    g_root = scratch.File("root") + "\\";
    g_pretendDriveRoot = g_root;
    g_windowsDir = g_root + "windows";
    CreateDirectoryA(g_root.c_str(), nullptr);
    CreateDirectoryA(g_windowsDir.c_str(), nullptr);
    g_runKeys = "Software\\T-Vornik sweep\\" + std::to_string(GetCurrentProcessId());
    g_scheduled.clear();
    g_debugger.clear();
    g_guardHandshakes = 0;
    g_guardStates.clear();
    g_guardState = 1;
    g_live.clear();
    g_libraries.clear();
    g_allocations = 0;

    // The remnants.
    struct Remnant {
        std::string path;
        const char *what;
    };
    const std::vector<Remnant> remnants = {
        {g_root + "Temp\\details.exe", "infected file"},
        {g_root + "Documents\\holiday.scr", "read-only infected file"},
        {g_windowsDir + "\\winppr32.exe", "known name"},
        {g_root + "Windows\\All Users\\Start Menu\\Programs\\StartUp\\msccn32.exe", "Startup copy"},
        {g_root + "Program Files\\svc\\winsvc.exe", "running worm"},
        {g_root + std::string(150, 'd') + "\\" + std::string(150, 'e') + "\\deep.pif", "deep infected file"},
        {g_root + "Documents\\Old\\holiday.pif", "infected file in use"},
    };
    Plant(remnants[0].path, WormLike(0));
    Plant(remnants[1].path, WormLike(1, 7), true);
    // A real copy carries the fingerprint too: with a worm process found the
    // names are not looked for, and the walk finds it instead.
    Plant(remnants[2].path, WormLike(1, 9));
    Plant(remnants[3].path, "a worm copy");
    Plant(remnants[4].path, WormLike(2, 3));
    // Read-only and in use, so its attributes are cleared and its removal
    // scheduled through the wide calls.
    PlantDeep(remnants[5].path, WormLike(3, 5));
    SetFileAttributesW(Wide(remnants[5].path).c_str(), FILE_ATTRIBUTE_READONLY);
    // Two copies in use: on Windows 9x the first makes WININIT.INI and the
    // second reads it back and adds to it.
    Plant(remnants[6].path, WormLike(2, 11));
    HANDLE users[2];
    for (int i = 0; i < 2; ++i)
        users[i] = CreateFileW(Wide(remnants[i == 0 ? 5 : 6].path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    g_wormImage = remnants[4].path;
    g_wormRunning = true;
    HKEY guardKey;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, (g_runKeys + "\\Guard").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &guardKey, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(guardKey, "DeviceName", 0, REG_SZ, reinterpret_cast<const BYTE *>("PV95"), 5);
        RegCloseKey(guardKey);
    }
    Plant(g_root + "Temp\\readme.txt", "clean");
    for (std::string hive : {std::string("\\HKLM"), std::string("\\HKCU"), "\\Hive\\" + std::string(kRunKeyPath)}) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, (g_runKeys + hive).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, "TrayX", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2);
            RegCloseKey(key);
        }
    }
    std::string profile = g_root + "Users\\bob";
    Plant(profile + "\\NTUSER.DAT", "a hive");
    RegSetKeyValueA(HKEY_CURRENT_USER, (g_runKeys + "\\Profiles\\S-1-5-21-9-9-9-1001").c_str(), "ProfileImagePath",
                    REG_EXPAND_SZ, profile.c_str(), static_cast<DWORD>(profile.size() + 1));
    g_hiveLoaded = false;

    unsigned found = RunTallyFound(), failed = RunTallyFailed(), pending = RunTallyPendingReboot();
    {
        CapturedStdout out;
        ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
        ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, PretendDriveType);
        ScopedSysCall<decltype(sys::GetWindowsDirectoryA)> windows(sys::GetWindowsDirectoryA, PretendWindowsDirectory);
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> run(sys::RegOpenKeyExA, MovedKeys);
        ScopedSysCall<decltype(sys::GetVersionExA)> version(sys::GetVersionExA, PretendVersion);
        ScopedSysCall<decltype(sys::GetProcAddress)> entries(sys::GetProcAddress, PretendGetProcAddress);
        ScopedSysCall<decltype(sys::OpenProcess)> open(sys::OpenProcess, PretendOpenProcess);
        ScopedSysCall<decltype(sys::TerminateProcess)> terminate(sys::TerminateProcess, PretendTerminate);
        ScopedSysCall<decltype(sys::Sleep)> pause(sys::Sleep, NoPause);
        ScopedSysCall<decltype(sys::CancelIo)> cancel(sys::CancelIo, PretendCancel);
        ScopedSysCall<decltype(sys::WaitForSingleObject)> wait(sys::WaitForSingleObject, PretendWait);
        ScopedSysCall<decltype(sys::MoveFileExA)> move(sys::MoveFileExA, RecordedDelayedMove);
        ScopedSysCall<decltype(sys::MoveFileExW)> moveW(sys::MoveFileExW, RecordedDelayedMoveW);
        ScopedSysCall<decltype(sys::CreateFileA)> guard(sys::CreateFileA, PretendFiles);
        ScopedSysCall<decltype(sys::DeviceIoControl)> control(sys::DeviceIoControl, PretendGuardControl);
        ScopedSysCall<decltype(sys::CloseHandle)> close(sys::CloseHandle, PretendClose);
        ScopedSysCall<decltype(sys::MessageBoxA)> box(sys::MessageBoxA, PressOk);
        ScopedSysCall<decltype(sys::getch)> key(sys::getch, PressAKey);
        ScopedSysCall<decltype(sys::OutputDebugStringA)> debugger(sys::OutputDebugStringA, RecordedDebugger);
        ScopedSysCall<decltype(sys::FindNextFileA)> search(sys::FindNextFileA, InterruptedSearch);
        ScopedSysCall<decltype(sys::RegLoadKeyW)> load(sys::RegLoadKeyW, PretendLoadHive);
        ScopedSysCall<decltype(sys::RegUnLoadKeyW)> unload(sys::RegUnLoadKeyW, PretendUnloadHive);
        g_searchSteps = 0;
        g_logAtEnd.clear();
        g_guardAtEnd.clear();

        std::vector<void *> before;
        for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row)
            before.push_back(*row->slot);
        InstallCounting();
        InstallFaultPoints();
        for (int i = 0; i < RowCount; ++i)
            g_points[i] = FaultPoint();
        for (const FailureSpec *failure : failing)
            g_points[RowIndexOf(failure->name)] = FaultPoint{failure, mode, 0, 0};

        const char *argv[] = {"T-Vornik.exe", g_reportOnly ? "/REPORTONLY" : nullptr, nullptr};
        outcome.exitCode = VornikMain(g_reportOnly ? 2 : 1, const_cast<char **>(argv));
        DetachTraceFile();  // the log stays open to the end of a real run

        RemoveFaultPoints();
        int index = 0;
        for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row, ++index)
            *row->slot = before[index];
        outcome.leaks = g_live;
        // A request the guard never gave back, even when cancelled, keeps its
        // memory: the guard may still write into it.
        // The same when the wait for the cancelled request failed: the tool
        // cannot know it came back.
        outcome.requestLeftToGuard = g_guardPending || g_points[Row_WaitForSingleObject].failures != 0;
        outcome.librariesLeft = g_libraries;
        outcome.console = out.Text();
    }
    for (HANDLE user : users)
        CloseHandle(user);
    unsigned runFailed = RunTallyFailed() - failed, runPending = RunTallyPendingReboot() - pending;
    (void)found;

    // What is left of the worm, and whether the run said so.
    std::string log = ReadWholeFile(g_windowsDir + "\\T-Vornik.log");
    outcome.refused = outcome.console.find("Please log on to this workstation") != std::string::npos;
    std::vector<std::string> left;
    std::string wininit = ReadWholeFile(g_windowsDir + "\\WININIT.INI");
    for (char &ch : wininit)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    for (const Remnant &r : remnants) {
        if (!IsThere(r.path))
            continue;
        left.push_back(r.what);
        bool scheduled = false;
        for (const std::string &s : g_scheduled)
            scheduled = scheduled || _stricmp(s.c_str(), r.path.c_str()) == 0;
        // Windows 9x: a "nul=" line of WININIT.INI with the short path.
        char shortPath[MAX_PATH];
        if (windows9x && GetShortPathNameA(r.path.c_str(), shortPath, sizeof shortPath) != 0) {
            std::string line = "NUL=" + std::string(shortPath);
            for (char &ch : line)
                ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
            scheduled = scheduled || wininit.find(line) != std::string::npos;
        }
        // "Error scanning file" names the file; "Error scanning folder" a
        // folder it lies in.
        bool scanError = outcome.console.find("Error scanning file " + r.path) != std::string::npos;
        for (size_t at = 0; !scanError && (at = outcome.console.find("Error scanning folder ", at)) != std::string::npos;
             ++at) {
            size_t from = at + 22, to = outcome.console.find('\n', from);
            std::string folder = outcome.console.substr(from, to - from);
            scanError = r.path.compare(0, folder.size(), folder) == 0;
        }
        bool reported = runFailed != 0 || (runPending != 0 && scheduled) || scanError || outcome.refused;
        // A look names what it would remove.
        if (g_reportOnly)
            reported = runFailed != 0 || outcome.console.find(r.path) != std::string::npos ||
                       log.find(r.path) != std::string::npos || scanError || outcome.refused;
        if (!reported)
            outcome.dishonest = true;
    }
    for (const char *hive : {"\\HKLM", "\\HKCU"})
        if (HasValue(g_runKeys + hive, "TrayX"))
            left.push_back(hive[3] == 'L' ? "HKLM Run value" : "HKCU Run value");
    if (HasValue(g_runKeys + "\\Hive\\" + kRunKeyPath, "TrayX"))
        left.push_back("unloaded user's Run value");
    // A hive that would not unload keeps its user out: the run must fail.
    if (g_hiveLoaded && runFailed == 0)
        outcome.leaks[1] = "a user's hive, left loaded";
    outcome.changed = g_reportOnly && (left.size() != remnants.size() + 3 || !g_wormRunning);
    for (const Remnant &r : remnants)
        for (const std::string &s : g_scheduled)
            outcome.changed = outcome.changed || (g_reportOnly && _stricmp(s.c_str(), r.path.c_str()) == 0);
    RegDeleteTreeA(HKEY_CURRENT_USER, g_runKeys.c_str());
    RemoveTreeW(Wide(g_root.substr(0, g_root.size() - 1)));

    outcome.lastLine = !log.empty() ? LastLine(log, "\r\n") : LastLine(g_debugger, "\n");
    outcome.exitLine = outcome.lastLine.compare(0, 22, "Exiting, return value ") == 0;
    outcome.guardHandshakes = g_guardHandshakes;
    outcome.guardStates.assign(g_guardStates.begin(), g_guardStates.end());

    // The table row: call, mode, calls made and failed, exit code, the guard's
    // states, what is left, problems.
    unsigned calls = 0, failures = 0;
    for (const FailureSpec *failure : failing) {
        calls += g_points[RowIndexOf(failure->name)].calls;
        failures += g_points[RowIndexOf(failure->name)].failures;
    }
    char line[512];
    snprintf(line, sizeof line, "%-24s %-3s %-6s calls=%-5u failed=%-5u exit=%d guard=%-8s left=", label.c_str(),
             windows9x ? "9x" : "nt", mode == Always ? "always" : mode == FirstUseOnly ? "first" : "nth", calls,
             failures, outcome.exitCode, outcome.guardStates.c_str());
    outcome.row = line;
    for (size_t i = 0; i < left.size(); ++i)
        outcome.row += (i ? "," : "") + std::string(left[i]);
    if (left.empty())
        outcome.row += "-";
    if (outcome.leaks.size() > (outcome.requestLeftToGuard ? 1u : 0u) || !outcome.librariesLeft.empty())
        outcome.row += " LEAK";
    else if (outcome.requestLeftToGuard)
        outcome.row += " (request left to the guard)";
    if (outcome.dishonest)
        outcome.row += " DISHONEST";
    if (outcome.changed)
        outcome.row += " CHANGED";
    if (!outcome.exitLine && !outcome.refused)
        outcome.row += " NO-EXIT-LINE";
    FILE *table = fopen("C:\\fault-sweep-table.txt", "a");
    if (table != nullptr) {
        fprintf(table, "%s\n", outcome.row.c_str());
        fclose(table);
    }
    return outcome;
}

void ExpectSoundRun(const SweepOutcome &outcome, bool guardCallsFail)
{
    size_t allowed = outcome.requestLeftToGuard ? 1 : 0;
    if (outcome.leaks.size() > allowed)
        for (const auto &leak : outcome.leaks)
            ADD_FAILURE() << "not released: " << leak.second;
    for (const auto &library : outcome.librariesLeft)
        ADD_FAILURE() << "library left loaded " << library.second << " time(s)";
    EXPECT_FALSE(outcome.dishonest) << outcome.row << "\n" << outcome.console;
    if (outcome.refused)
        return;
    EXPECT_TRUE(outcome.exitLine) << "the log ends with: " << outcome.lastLine;
    if (!guardCallsFail) {
        EXPECT_EQ(outcome.guardHandshakes, 2) << "the guard was not switched twice";
    }
    // Never left off: once switched off, the last state it was given is on.
    if (!outcome.guardStates.empty()) {
        EXPECT_EQ(outcome.guardStates.back(), '1') << outcome.guardStates;
    }
}

class FaultSweepTest : public ::testing::TestWithParam<Case> {};

TEST_P(FaultSweepTest, TheRunSurvivesReleasesEverythingAndTellsTheTruth)
{
    const Case &c = GetParam();
    SweepOutcome outcome = RunSweep({c.failure}, c.mode, c.windows9x, c.failure->name);
    // Rows without which the guard's devices cannot be opened or driven; a
    // failed version query sends a Windows 9x system down the NT path.
    const char *name = c.failure->name;
    bool guardCallsFail = strcmp(name, "CreateFileA") == 0 || strcmp(name, "DeviceIoControl") == 0 ||
                          strcmp(name, "malloc") == 0 || (c.windows9x && strcmp(name, "GetVersionExA") == 0);
    ExpectSoundRun(outcome, guardCallsFail);
}

// A report-only run with each call failing: as sound as a cleaning run, and
// whatever fails, every remnant, Run value and the worm process are as they
// were and nothing is scheduled.
class ReportOnlySweepTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReportOnlySweepTest, ALookChangesNothingWhateverFails)
{
    const Case &c = GetParam();
    g_reportOnly = true;
    SweepOutcome outcome = RunSweep({c.failure}, c.mode, c.windows9x, std::string("look:") + c.failure->name);
    g_reportOnly = false;
    const char *name = c.failure->name;
    ExpectSoundRun(outcome, strcmp(name, "CreateFileA") == 0 || strcmp(name, "DeviceIoControl") == 0 ||
                                strcmp(name, "malloc") == 0);
    EXPECT_FALSE(outcome.changed) << outcome.row;
}

// The restore sees only the entry its case kept: other tests of this prefix
// keep entries of their own in the same quarantine at the same time.
std::wstring g_onlyEntry;

HANDLE WINAPI OnlyThisEntryFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW found)
{
    HANDLE search = FindFirstFileW(pattern, found);
    if (wcsstr(pattern, L"*.vq") == nullptr)
        return search;  // the tool's folders are looked for too
    while (search != INVALID_HANDLE_VALUE && g_onlyEntry != found->cFileName)
        if (!FindNextFileW(search, found)) {
            FindClose(search);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    return search;
}

BOOL WINAPI OnlyThisEntryNext(HANDLE search, LPWIN32_FIND_DATAW found)
{
    while (FindNextFileW(search, found))
        if (g_onlyEntry == found->cFileName)
            return TRUE;
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

// A restore with each call failing every time: it gives back all it took,
// ends with its exit line, and where it restores to lies the whole file, as
// it was kept, or nothing.
class RestoreSweepTest : public ::testing::TestWithParam<Case> {};

TEST_P(RestoreSweepTest, ARestoreWritesTheWholeFileOrNothingWhateverFails)
{
    ScratchFolder scratch;
    g_windowsDir = scratch.Path();
    g_windows9x = false;
    ScopedSysCall<decltype(sys::GetSecurityInfo)> adminsOnly(sys::GetSecurityInfo, AdministratorsOnly);
    const std::string bytes = WormLike(2, 5), kept = scratch.File("kept.exe"), target = scratch.File("back.exe");
    WriteFileBytes(kept, bytes);
    HANDLE file = CreateFileW(Wide(kept).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char entry[64] = "";
    ASSERT_EQ(QuarantineKeep(file, Wide(kept).c_str(), FILE_ATTRIBUTE_ARCHIVE, "known name", entry, sizeof entry),
              kKept);
    CloseHandle(file);
    g_onlyEntry.assign(entry, entry + strlen(entry));

    SweepOutcome outcome;
    {
        CapturedStdout out;
        ScopedSysCall<decltype(sys::GetWindowsDirectoryA)> windows(sys::GetWindowsDirectoryA, PretendWindowsDirectory);
        ScopedSysCall<decltype(sys::FindFirstFileW)> first(sys::FindFirstFileW, OnlyThisEntryFirst);
        ScopedSysCall<decltype(sys::FindNextFileW)> next(sys::FindNextFileW, OnlyThisEntryNext);
        std::vector<void *> before;
        for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row)
            before.push_back(*row->slot);
        g_live.clear();
        g_libraries.clear();
        InstallCounting();
        InstallFaultPoints();
        for (int i = 0; i < RowCount; ++i)
            g_points[i] = FaultPoint();
        g_points[RowIndexOf(GetParam().failure->name)] = FaultPoint{GetParam().failure, Always, 0, 0};
        const char *argv[] = {"T-Vornik.exe", "/RESTORE", "1", target.c_str(), nullptr};
        outcome.exitCode = VornikMain(4, const_cast<char **>(argv));
        DetachTraceFile();
        RemoveFaultPoints();
        int index = 0;
        for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row, ++index)
            *row->slot = before[index];
        outcome.leaks = g_live;
        outcome.librariesLeft = g_libraries;
        outcome.console = out.Text();
    }
    {
        QuarantineListing listing;  // the entry where the tool keeps it
        if (QuarantineOpenListing(&listing) == kListed) {
            std::wstring entryPath = std::wstring(listing.held.path) + L"\\" + g_onlyEntry;
            QuarantineCloseListing(&listing);
            DeleteFileW(entryPath.c_str());
        }
    }
    for (const auto &leak : outcome.leaks)
        ADD_FAILURE() << "not released: " << leak.second;
    bool exists = false;
    std::string restored = ReadWholeFile(target, &exists);
    EXPECT_TRUE(!exists || restored == bytes) << "a part of the file was restored";
    EXPECT_EQ(outcome.exitCode, exists ? 0 : 3) << outcome.console;
    std::string log = ReadWholeFile(g_windowsDir + "\\T-Vornik.log");
    if (!log.empty() && outcome.console.find("Please log on") == std::string::npos)
        EXPECT_EQ(LastLine(log, "\r\n").compare(0, 22, "Exiting, return value "), 0) << log;
}

// The allocation torture: a run in which nothing fails, then one run for each
// allocation it made, with just that allocation failing.
TEST(AllocationTortureTest, EachAllocationFailingInTurnLeavesASoundRun)
{
    const FailureSpec *allocators[2] = {nullptr, nullptr};
    for (const FailureSpec &failure : kFailures) {
        if (strcmp(failure.name, "malloc") == 0)
            allocators[0] = &failure;
        if (strcmp(failure.name, "strdup") == 0)
            allocators[1] = &failure;
    }
    ASSERT_TRUE(allocators[0] != nullptr && allocators[1] != nullptr);
    g_failAllocation = 0;
    SweepOutcome clean = RunSweep({allocators[0], allocators[1]}, NthAllocation, false, "allocation#none");
    ExpectSoundRun(clean, false);
    EXPECT_FALSE(g_wormRunning) << "the worm process was not ended";
    unsigned total = g_allocations;
    ASSERT_GT(total, 0u);
    for (unsigned n = 1; n <= total; ++n) {
        g_failAllocation = n;
        SweepOutcome outcome =
            RunSweep({allocators[0], allocators[1]}, NthAllocation, false, "allocation#" + std::to_string(n));
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
        ExpectSoundRun(outcome, false);
    }
}

// A run interrupted in the middle of the walk by each console event that ends
// the process, and by a crash: the guard is on again when the process would
// end, the log's last line says how the run ended, and the run's own end
// does not switch the guard a second time.
typedef std::tuple<Interruption, bool> Ending;  // how, and on Windows 9x
class InterruptedRunTest : public ::testing::TestWithParam<Ending> {};

std::string EndingName(const ::testing::TestParamInfo<Ending> &info)
{
    const char *names[] = {"", "closed", "loggedOff", "shutDown", "crashed"};
    return std::string(names[std::get<0>(info.param)]) + (std::get<1>(info.param) ? "_9x" : "_nt");
}

TEST_P(InterruptedRunTest, TheGuardIsOnAgainAndTheLogSaysHowTheRunEnded)
{
    g_interruption = std::get<0>(GetParam());
    bool windows9x = std::get<1>(GetParam());
    SweepOutcome outcome = RunSweep({}, Always, windows9x, "interrupted:" + EndingName(
                                                                   ::testing::TestParamInfo<Ending>(GetParam(), 0)));
    g_interruption = NotInterrupted;
    const char *expected = std::get<0>(GetParam()) == ConsoleClosed ? "The run was interrupted: the console window was closed"
                           : std::get<0>(GetParam()) == LoggedOff   ? "The run was interrupted: the user logged off"
                           : std::get<0>(GetParam()) == ShutDown ? "The run was interrupted: the system is shutting down"
                                                                 : "The run ended abnormally (exception 0xC0000005)";
    ASSERT_FALSE(g_logAtEnd.empty()) << "the walk was not interrupted";
    EXPECT_EQ(LastLine(g_logAtEnd, "\r\n"), expected);
    EXPECT_EQ(g_endAnswer, std::get<0>(GetParam()) == Crashed ? EXCEPTION_EXECUTE_HANDLER : FALSE);
    EXPECT_EQ(g_guardAtEnd, windows9x ? "0011" : "00011") << "the guard's states when the process would end";
    EXPECT_EQ(outcome.guardStates, g_guardAtEnd) << "switched again after the end";
    ExpectSoundRun(outcome, false);
}

INSTANTIATE_TEST_SUITE_P(EachEnding, InterruptedRunTest,
                         ::testing::Combine(::testing::Values(ConsoleClosed, LoggedOff, ShutDown, Crashed),
                                            ::testing::Bool()),
                         EndingName);

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (bool windows9x : {false, true})
        for (const FailureSpec &failure : kFailures)
            for (Mode mode : {Always, FirstUseOnly})
                cases.push_back({&failure, mode, windows9x});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryCall, FaultSweepTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return CaseName(info.param); });

std::vector<Case> LookCases()
{
    std::vector<Case> cases;
    for (const FailureSpec &failure : kFailures)
        cases.push_back({&failure, Always, false});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryCall, ReportOnlySweepTest, ::testing::ValuesIn(LookCases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return CaseName(info.param); });
INSTANTIATE_TEST_SUITE_P(EveryCall, RestoreSweepTest, ::testing::ValuesIn(LookCases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return CaseName(info.param); });

// Every failing call listed is a row of the table.
TEST(FaultSweepTableTest, EveryFailingCallIsARowOfTheTable)
{
    for (const FailureSpec &failure : kFailures) {
        bool found = false;
        for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row)
            found = found || strcmp(row->name, failure.name) == 0;
        EXPECT_TRUE(found) << failure.name;
    }
}

}  // namespace
