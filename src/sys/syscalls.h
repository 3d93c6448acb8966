// The tool's one door to the operating system and the C runtime.
//
// Every Win32 or runtime call the tool makes is a row of one table: a typed
// pointer in namespace `sys` that starts out pointing at the real function.
// Product code calls `sys::CreateFileA(...)` and reads like plain Win32 code;
// a test swaps one pointer for the length of a scope (ScopedSysCall) to reach
// what Wine cannot give: a user without administrator rights, a failing call,
// a device.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <wincrypt.h>
// PSAPI's own names (EnumProcesses), not KERNEL32's K32 copies: the tool
// loads PSAPI.DLL itself, and Windows before 7 has no K32 names.
#define PSAPI_VERSION 1
#include <psapi.h>
#include <vdmdbg.h>
#include <restartmanager.h>
#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <stdint.h>

#include <type_traits>

// Calls the tool makes without the table, each with its reason. The check of
// the built program's imports (tests/unit/version_resource_test.cpp) accepts
// an imported function only when it is a row below or named here.
//   X(function, why)
#define VORNIK_DIRECT_CALLS(X)                                                 \
    /* Pure helpers: memory, strings, formatting into a buffer, character  */ \
    /* classes, sorting, number parsing. They touch no system state and    */ \
    /* cannot fail in a way a run must survive.                            */ \
    X(memchr, kPureHelper) X(memcmp, kPureHelper) X(memcpy, kPureHelper)        \
    X(memmove, kPureHelper) X(memset, kPureHelper) X(strchr, kPureHelper)       \
    X(strcmp, kPureHelper) X(strcpy, kPureHelper) X(strlen, kPureHelper)        \
    X(strncmp, kPureHelper) X(strstr, kPureHelper) X(strtol, kPureHelper)       \
    X(strcspn, kPureHelper) X(wcschr, kPureHelper) X(strpbrk, kPureHelper)     \
    X(isalpha, kPureHelper)                                                    \
    X(strtoul, kPureHelper) X(atoi, kPureHelper) X(_ultoa, kPureHelper)         \
    X(_stricmp, kPureHelper) X(_strnicmp, kPureHelper) X(toupper, kPureHelper)  \
    X(islower, kPureHelper) X(isupper, kPureHelper) X(isspace, kPureHelper)     \
    X(qsort, kPureHelper) X(_snwprintf, kPureHelper) X(wcscat, kPureHelper)     \
    X(wcscmp, kPureHelper) X(wcscpy, kPureHelper) X(wcslen, kPureHelper)        \
    X(wcsncat, kPureHelper) X(wcsncmp, kPureHelper) X(wcsncpy, kPureHelper)     \
    X(localeconv, kPureHelper) X(__mb_cur_max, kPureHelper)                     \
    /* The calling thread's error slots, read right after the call that   */ \
    /* set them.                                                           */ \
    X(GetLastError, kErrorSlot) X(SetLastError, kErrorSlot) X(_errno, kErrorSlot) \
    /* Locks and signals on the process's own objects (the trace, the      */ \
    /* console, the guard's owner, the drive walk's read-ahead queue): on  */ \
    /* its own valid objects none can fail, and nothing could be done      */ \
    /* without them. What can fail there (memory, the semaphore and event, */ \
    /* thread starts) goes through the table.                              */ \
    X(InitializeCriticalSection, kOwnLock) X(EnterCriticalSection, kOwnLock)    \
    X(LeaveCriticalSection, kOwnLock) X(DeleteCriticalSection, kOwnLock)        \
    X(TryEnterCriticalSection, kOwnLock) X(ReleaseSemaphore, kOwnLock)          \
    /* (the read-ahead queue's SetEvent and WaitForSingleObject too, which */ \
    /* are rows for the session watch and the guard)                       */ \
    X(SetEvent, kOwnLock) X(WaitForSingleObject, kOwnLock)                      \
    /* (and the yield while a timed call's caller looks for its end)       */ \
    X(SwitchToThread, kOwnLock)                                                \
    /* The trace's shutdown, registered once before main (atexit is the    */ \
    /* runtime's _onexit).                                                 */ \
    X(_onexit, kRuntime)                                                       \
    /* The runtime's own start, exit, streams, heap growth and threads     */ \
    /* (the C runtime start-up, libgcc and libstdc++ linked in statically, */ \
    /* their unwinding and thread-local storage): the tool calls none of   */ \
    /* these itself.                                                       */ \
    X(__getmainargs, kRuntime) X(__initenv, kRuntime) X(__p__acmdln, kRuntime)  \
    X(__p__commode, kRuntime) X(__p__fmode, kRuntime) X(__set_app_type, kRuntime) \
    X(__setusermatherr, kRuntime) X(_amsg_exit, kRuntime) X(_cexit, kRuntime)   \
    X(_initterm, kRuntime) X(_iob, kRuntime) X(abort, kRuntime) X(exit, kRuntime) \
    X(signal, kRuntime) X(_setjmp3, kRuntime) X(longjmp, kRuntime)              \
    X(_beginthreadex, kRuntime) X(_endthreadex, kRuntime) X(calloc, kRuntime)   \
    X(realloc, kRuntime) X(setlocale, kRuntime) X(strerror, kRuntime)           \
    X(printf, kRuntime) X(fprintf, kRuntime) X(vfprintf, kRuntime)              \
    X(fputc, kRuntime) X(fwrite, kRuntime) X(_read, kRuntime) X(_close, kRuntime) \
    /* (the wide formatter's stream ends, linked in with it, unused)       */ \
    X(fwprintf, kRuntime) X(fputwc, kRuntime)                                  \
    X(AddVectoredExceptionHandler, kRuntime) X(RemoveVectoredExceptionHandler, kRuntime) \
    X(RaiseException, kRuntime) X(IsDebuggerPresent, kRuntime)                 \
    X(VirtualProtect, kRuntime) X(VirtualQuery, kRuntime)                       \
    X(GetStartupInfoA, kRuntime) X(GetModuleHandleW, kRuntime) X(LoadLibraryW, kRuntime) \
    X(GetSystemTimeAsFileTime, kRuntime) X(GetTickCount64, kRuntime)            \
    X(IsDBCSLeadByteEx, kRuntime) X(TlsAlloc, kRuntime) X(TlsGetValue, kRuntime) \
    X(TlsSetValue, kRuntime) X(DuplicateHandle, kRuntime) X(GetHandleInformation, kRuntime) \
    X(GetCurrentThread, kRuntime) X(GetCurrentThreadId, kRuntime)               \
    X(GetThreadContext, kRuntime) X(SetThreadContext, kRuntime)                 \
    X(GetThreadPriority, kRuntime) X(SetThreadPriority, kRuntime)               \
    X(SuspendThread, kRuntime) X(ResumeThread, kRuntime) X(ResetEvent, kRuntime) \
    X(GetProcessAffinityMask, kRuntime) X(SetProcessAffinityMask, kRuntime)

// Entry points a system may lack (Windows 9x, NT 4, XP): rows like the others,
// typed by the real prototype, but never imported: each is looked up by name
// in its library at run time, so the program still starts where one is
// missing, and a call of one that is not there answers as the system without
// it would (the answer and error below).
//   O(X, name, library, prototype, when looked up, answer when missing, error)
// kOnCall: the door looks on each call until found, in a library every
// process of the NT family has loaded. kOnFind: the caller looks, with
// sys::FindEntry, in the library it names (PSAPI and VDMDBG it loads itself).
//
// NTDLL's file calls are declared only by winternl.h, which would bring the
// native API's names into every file: their documented prototype is
//   NTSTATUS NTAPI NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS)
// (and the same for NtQueryInformationFile), and
//   NTSTATUS NTAPI NtCreateFile(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
//                               ULONG, ULONG, ULONG, ULONG, PVOID, ULONG)
// with the status block, the class and the object's attributes in their plain
// layout here.
static const LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002L);
typedef LONG(NTAPI *NtFileInformationFn)(HANDLE file, void *ioStatusBlock, void *information, ULONG length,
                                         ULONG fileInformationClass);
typedef LONG(NTAPI *NtCreateFileFn)(HANDLE *file, ACCESS_MASK access, void *objectAttributes, void *ioStatusBlock,
                                    LARGE_INTEGER *allocationSize, ULONG attributes, ULONG share, ULONG disposition,
                                    ULONG options, void *extendedAttributes, ULONG extendedLength);
#define VORNIK_OPTIONAL_SYSCALLS(O, X)                                                                          \
    /* deletion through a handle: identity, links, owners */                                                  \
    O(X, NtSetInformationFile, "NTDLL.DLL", NtFileInformationFn, kOnCall, kStatusNotImplemented, 0)                       \
    O(X, NtQueryInformationFile, "NTDLL.DLL", NtFileInformationFn, kOnCall, kStatusNotImplemented, 0)                     \
    O(X, NtCreateFile, "NTDLL.DLL", NtCreateFileFn, kOnCall, kStatusNotImplemented, 0)                                    \
    O(X, GetSecurityInfo, "ADVAPI32.DLL", decltype(&::GetSecurityInfo), kOnCall, ERROR_CALL_NOT_IMPLEMENTED, 0) \
    O(X, ConvertStringSecurityDescriptorToSecurityDescriptorW, "ADVAPI32.DLL",                                  \
      decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW), kOnCall, FALSE,                        \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    /* the interactive window station (NT only) */                                                            \
    O(X, GetProcessWindowStation, "USER32.DLL", decltype(&::GetProcessWindowStation), kOnCall, 0,               \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, GetUserObjectInformationA, "USER32.DLL", decltype(&::GetUserObjectInformationA), kOnCall, FALSE,       \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    /* the SHA-256 of a worm file (CryptoAPI, absent from the first Windows 95) */                            \
    O(X, CryptAcquireContextA, "ADVAPI32.DLL", decltype(&::CryptAcquireContextA), kOnCall, FALSE,               \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, CryptReleaseContext, "ADVAPI32.DLL", decltype(&::CryptReleaseContext), kOnCall, FALSE,                 \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, CryptCreateHash, "ADVAPI32.DLL", decltype(&::CryptCreateHash), kOnCall, FALSE,                         \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, CryptHashData, "ADVAPI32.DLL", decltype(&::CryptHashData), kOnCall, FALSE, ERROR_CALL_NOT_IMPLEMENTED)  \
    O(X, CryptGetHashParam, "ADVAPI32.DLL", decltype(&::CryptGetHashParam), kOnCall, FALSE,                     \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, CryptDestroyHash, "ADVAPI32.DLL", decltype(&::CryptDestroyHash), kOnCall, FALSE,                       \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    /* the name of a tool's folder nobody can guess */                                                        \
    O(X, CryptGenRandom, "ADVAPI32.DLL", decltype(&::CryptGenRandom), kOnCall, FALSE, ERROR_CALL_NOT_IMPLEMENTED) \
    /* the hives of users who are not logged on (NT only) */                                                  \
    O(X, RegLoadKeyW, "ADVAPI32.DLL", decltype(&::RegLoadKeyW), kOnCall, ERROR_CALL_NOT_IMPLEMENTED, 0)         \
    O(X, RegUnLoadKeyW, "ADVAPI32.DLL", decltype(&::RegUnLoadKeyW), kOnCall, ERROR_CALL_NOT_IMPLEMENTED, 0)     \
    O(X, ConvertSidToStringSidA, "ADVAPI32.DLL", decltype(&::ConvertSidToStringSidA), kOnFind, FALSE,           \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    /* the library search (XP SP1 on, Windows 8 on) and WOW64 (XP x64 on) */                                  \
    O(X, SetDefaultDllDirectories, "KERNEL32.DLL", decltype(&::SetDefaultDllDirectories), kOnFind, FALSE,       \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, SetDllDirectoryA, "KERNEL32.DLL", decltype(&::SetDllDirectoryA), kOnFind, FALSE,                       \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, IsWow64Process, "KERNEL32.DLL", decltype(&::IsWow64Process), kOnFind, FALSE, ERROR_CALL_NOT_IMPLEMENTED) \
    O(X, Wow64DisableWow64FsRedirection, "KERNEL32.DLL", decltype(&::Wow64DisableWow64FsRedirection), kOnFind,  \
      FALSE, ERROR_CALL_NOT_IMPLEMENTED)                                                                        \
    O(X, Wow64RevertWow64FsRedirection, "KERNEL32.DLL", decltype(&::Wow64RevertWow64FsRedirection), kOnFind,    \
      FALSE, ERROR_CALL_NOT_IMPLEMENTED)                                                                        \
    /* the process list: Tool Help (9x, 2000 on), PSAPI and VDMDBG (NT), */                                   \
    /* the system's image names (XP, Vista on) */                                                             \
    O(X, CreateToolhelp32Snapshot, "KERNEL32.DLL", decltype(&::CreateToolhelp32Snapshot), kOnFind, -1,          \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, Process32First, "KERNEL32.DLL", decltype(&::Process32First), kOnFind, FALSE, ERROR_CALL_NOT_IMPLEMENTED) \
    O(X, Process32Next, "KERNEL32.DLL", decltype(&::Process32Next), kOnFind, FALSE, ERROR_CALL_NOT_IMPLEMENTED)  \
    O(X, Module32First, "KERNEL32.DLL", decltype(&::Module32First), kOnFind, FALSE, ERROR_CALL_NOT_IMPLEMENTED)  \
    O(X, QueryFullProcessImageNameA, "KERNEL32.DLL", decltype(&::QueryFullProcessImageNameA), kOnFind, FALSE,   \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, EnumProcesses, "PSAPI.DLL", decltype(&::EnumProcesses), kOnFind, FALSE, ERROR_CALL_NOT_IMPLEMENTED)     \
    O(X, EnumProcessModules, "PSAPI.DLL", decltype(&::EnumProcessModules), kOnFind, FALSE,                      \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, GetModuleFileNameExA, "PSAPI.DLL", decltype(&::GetModuleFileNameExA), kOnFind, 0,                      \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, GetModuleBaseNameA, "PSAPI.DLL", decltype(&::GetModuleBaseNameA), kOnFind, 0,                          \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, GetProcessImageFileNameA, "PSAPI.DLL", decltype(&::GetProcessImageFileNameA), kOnFind, 0,              \
      ERROR_CALL_NOT_IMPLEMENTED)                                                                               \
    O(X, VDMEnumTaskWOWEx, "VDMDBG.DLL", decltype(&::VDMEnumTaskWOWEx), kOnFind, 0, ERROR_CALL_NOT_IMPLEMENTED) \
    /* which program holds a file (the Restart Manager, Vista on) */                                          \
    O(X, RmStartSession, "RSTRTMGR.DLL", decltype(&::RmStartSession), kOnFind, ERROR_CALL_NOT_IMPLEMENTED, 0)   \
    O(X, RmRegisterResources, "RSTRTMGR.DLL", decltype(&::RmRegisterResources), kOnFind,                        \
      ERROR_CALL_NOT_IMPLEMENTED, 0)                                                                            \
    O(X, RmGetList, "RSTRTMGR.DLL", decltype(&::RmGetList), kOnFind, ERROR_CALL_NOT_IMPLEMENTED, 0)             \
    O(X, RmEndSession, "RSTRTMGR.DLL", decltype(&::RmEndSession), kOnFind, ERROR_CALL_NOT_IMPLEMENTED, 0)

namespace sysopt {

enum LookedUp { kOnCall, kOnFind };

// One optional row as the door keeps it.
struct OptionalRow {
    const char *name;
    const char *library;
    LookedUp when;
    intptr_t missing;  // the answer while the entry point is not there, as bits
    DWORD error;       // GetLastError() after that answer; 0 leaves it
};

#define VORNIK_OPTIONAL_INDEX(X, name, library, prototype, when, missing, error) Optional_##name,
enum OptionalIndex { VORNIK_OPTIONAL_SYSCALLS(VORNIK_OPTIONAL_INDEX, _) OptionalCount };
#undef VORNIK_OPTIONAL_INDEX

template <int Row>
struct Prototype;
#define VORNIK_OPTIONAL_PROTOTYPE(X, name, library, prototype, when, missing, error) \
    template <>                                                                      \
    struct Prototype<Optional_##name> {                                              \
        typedef prototype type;                                                      \
    };
VORNIK_OPTIONAL_SYSCALLS(VORNIK_OPTIONAL_PROTOTYPE, _)
#undef VORNIK_OPTIONAL_PROTOTYPE

// The row's entry point, or null while it is not there (a kOnCall row is
// looked for again).
FARPROC Entry(int row);
// Sets the thread's error as the row says and answers its missing answer.
intptr_t Missing(int row);

// Where an optional row's pointer starts: the entry point found, or the
// answer of a system without it.
template <int Row, typename Fn = typename Prototype<Row>::type>
struct Optional;

template <int Row, typename R, typename... A>
struct Optional<Row, R(WINAPI *)(A...)> {
    static R WINAPI Call(A... args)
    {
        FARPROC entry = Entry(Row);
        if (entry == nullptr) {
            intptr_t bits = Missing(Row);
            if constexpr (std::is_pointer_v<R>)
                return reinterpret_cast<R>(bits);
            else
                return static_cast<R>(bits);
        }
        return reinterpret_cast<R(WINAPI *)(A...)>(reinterpret_cast<void *>(entry))(args...);
    }
};

}  // namespace sysopt

// An optional row in the table's form: X(name, the function it starts at).
#define VORNIK_OPTIONAL_AS_ROW(X, name, library, prototype, when, missing, error) \
    X(name, ::sysopt::Optional<::sysopt::Optional_##name>::Call)

// One row per call: X(name, real function). decltype of the real function
// keeps the calling convention and the signature exact.
#define VORNIK_SYSCALLS(X)                                   \
    /* version, directories, modules */                      \
    X(GetVersionExA, ::GetVersionExA)                        \
    X(GetWindowsDirectoryA, ::GetWindowsDirectoryA)          \
    X(GetSystemDirectoryA, ::GetSystemDirectoryA)            \
    X(GetModuleFileNameA, ::GetModuleFileNameA)              \
    X(GetModuleHandleA, ::GetModuleHandleA)                  \
    X(LoadLibraryA, ::LoadLibraryA)                          \
    X(GetProcAddress, ::GetProcAddress)                      \
    X(FreeLibrary, ::FreeLibrary)                            \
    X(FindResourceA, ::FindResourceA)                        \
    X(LoadResource, ::LoadResource)                          \
    X(LockResource, ::LockResource)                          \
    X(SizeofResource, ::SizeofResource)                      \
    /* processes, threads, time */                           \
    X(OpenProcess, ::OpenProcess)                            \
    X(TerminateProcess, ::TerminateProcess)                  \
    X(GetCurrentProcessId, ::GetCurrentProcessId)            \
    X(Sleep, ::Sleep)                                        \
    X(CreateThread, ::CreateThread)                          \
    X(CreateSemaphoreA, ::CreateSemaphoreA)                  \
    X(GetSystemInfo, ::GetSystemInfo)                        \
    X(GetTickCount, ::GetTickCount)                          \
    X(GetLocalTime, ::GetLocalTime)                          \
    X(GetSystemTime, ::GetSystemTime)                        \
    X(GetComputerNameA, ::GetComputerNameA)                  \
    X(GetUserNameA, ::GetUserNameA)                          \
    /* console, confirmation box, debugger output */         \
    X(SetConsoleCtrlHandler, ::SetConsoleCtrlHandler)        \
    X(GetConsoleTitleA, ::GetConsoleTitleA)                  \
    X(SetConsoleTitleA, ::SetConsoleTitleA)                  \
    X(SetUnhandledExceptionFilter, ::SetUnhandledExceptionFilter) \
    X(MessageBoxA, ::MessageBoxA)                            \
    X(OutputDebugStringA, ::OutputDebugStringA)              \
    X(getch, ::_getch)                                       \
    X(write, ::_write)                                       \
    X(fileno, ::_fileno)                                     \
    X(setmode, ::_setmode)                                   \
    X(IsDBCSLeadByte, ::IsDBCSLeadByte)                      \
    /* the hidden window that hears the session's end */     \
    X(RegisterClassA, ::RegisterClassA)                      \
    X(UnregisterClassA, ::UnregisterClassA)                  \
    X(CreateWindowExA, ::CreateWindowExA)                    \
    X(DestroyWindow, ::DestroyWindow)                        \
    X(DefWindowProcA, ::DefWindowProcA)                      \
    X(GetSystemMetrics, ::GetSystemMetrics)                  \
    X(PeekMessageA, ::PeekMessageA)                          \
    X(DispatchMessageA, ::DispatchMessageA)                  \
    X(MsgWaitForMultipleObjects, ::MsgWaitForMultipleObjects) \
    X(SetEvent, ::SetEvent)                                  \
    X(WaitForMultipleObjects, ::WaitForMultipleObjects)      \
    /* drives, folders, deletion, reboot-time moves */       \
    X(GetLogicalDriveStringsA, ::GetLogicalDriveStringsA)    \
    X(GetDriveTypeA, ::GetDriveTypeA)                        \
    X(GetVolumeInformationA, ::GetVolumeInformationA)        \
    X(SetErrorMode, ::SetErrorMode)                          \
    X(QueryDosDeviceA, ::QueryDosDeviceA)                    \
    X(FindFirstFileA, ::FindFirstFileA)                      \
    X(FindNextFileA, ::FindNextFileA)                        \
    X(FindClose, ::FindClose)                                \
    X(GetFileAttributesA, ::GetFileAttributesA)              \
    X(SetFileAttributesA, ::SetFileAttributesA)              \
    X(GetShortPathNameA, ::GetShortPathNameA)                \
    X(MoveFileExA, ::MoveFileExA)                            \
    X(remove, ::remove)                                      \
    X(rename, ::rename)                                      \
    /* the same for paths past MAX_PATH, in their wide form */ \
    X(MultiByteToWideChar, ::MultiByteToWideChar)            \
    X(WideCharToMultiByte, ::WideCharToMultiByte)            \
    X(FindFirstFileW, ::FindFirstFileW)                      \
    X(FindNextFileW, ::FindNextFileW)                        \
    X(CreateFileW, ::CreateFileW)                            \
    X(MoveFileExW, ::MoveFileExW)                            \
    X(GetFileAttributesW, ::GetFileAttributesW)              \
    X(SetFileAttributesW, ::SetFileAttributesW)              \
    X(wfopen, ::_wfopen)                                     \
    X(wremove, ::_wremove)                                   \
    X(CreateDirectoryW, ::CreateDirectoryW)                  \
    /* deletion through a handle: identity, links, owners */ \
    X(GetFileInformationByHandle, ::GetFileInformationByHandle) \
    /* files */                                              \
    X(CreateFileA, ::CreateFileA)                            \
    X(SetFilePointer, ::SetFilePointer)                      \
    X(ReadFile, ::ReadFile)                                  \
    X(WriteFile, ::WriteFile)                                \
    /* the SHA-256 of a worm file (CryptoAPI) */             \
    /* token and rights */                                   \
    X(GetCurrentProcess, ::GetCurrentProcess)                \
    X(OpenProcessToken, ::OpenProcessToken)                  \
    X(GetTokenInformation, ::GetTokenInformation)            \
    X(AllocateAndInitializeSid, ::AllocateAndInitializeSid)  \
    X(EqualSid, ::EqualSid)                                  \
    X(FreeSid, ::FreeSid)                                    \
    X(LookupPrivilegeValueA, ::LookupPrivilegeValueA)        \
    X(AdjustTokenPrivileges, ::AdjustTokenPrivileges)        \
    X(CloseHandle, ::CloseHandle)                            \
    X(LocalFree, ::LocalFree)                                \
    /* guard devices */                                      \
    X(DeviceIoControl, ::DeviceIoControl)                    \
    X(CreateEventA, ::CreateEventA)                          \
    X(CancelIo, ::CancelIo)                                  \
    X(WaitForSingleObject, ::WaitForSingleObject)            \
    /* registry */                                           \
    X(RegOpenKeyExA, ::RegOpenKeyExA)                        \
    X(RegDeleteValueA, ::RegDeleteValueA)                    \
    X(RegCloseKey, ::RegCloseKey)                            \
    X(RegQueryValueExA, ::RegQueryValueExA)                  \
    X(RegEnumKeyExA, ::RegEnumKeyExA)                        \
    X(RegCreateKeyExA, ::RegCreateKeyExA)                    \
    /* the hives of users who are not logged on */           \
    X(ExpandEnvironmentStringsA, ::ExpandEnvironmentStringsA) \
    /* the run's event in the Application log */             \
    X(RegSetValueExA, ::RegSetValueExA)                      \
    X(CopyFileA, ::CopyFileA)                                \
    X(RegisterEventSourceA, ::RegisterEventSourceA)          \
    X(ReportEventA, ::ReportEventA)                          \
    X(DeregisterEventSource, ::DeregisterEventSource)        \
    /* runtime: heap and streams */                          \
    X(malloc, ::malloc)                                      \
    X(free, ::free)                                          \
    X(strdup, ::_strdup)                                     \
    X(fopen, ::fopen)                                        \
    X(fgets, ::fgets)                                        \
    X(ferror, ::ferror)                                      \
    X(fputs, ::fputs)                                        \
    X(fflush, ::fflush)                                      \
    X(fclose, ::fclose)                                      \
    /* entry points a system may lack, above */              \
    VORNIK_OPTIONAL_SYSCALLS(VORNIK_OPTIONAL_AS_ROW, X)

namespace sys {

#define VORNIK_DECLARE_SYSCALL(name, real) extern decltype(&real) name;
VORNIK_SYSCALLS(VORNIK_DECLARE_SYSCALL)
#undef VORNIK_DECLARE_SYSCALL

// A row of the table as tests see it: the name, the slot in use, the
// original, the function's name in its library, and that library for an
// optional row (null for a function the program imports).
struct SysCallRow {
    const char *name;
    void **slot;
    void *original;
    const char *function;
    const char *library;
};

// The whole table, ended by a row with a null name.
const SysCallRow *SysCallTable();

// Points the named row (or every row, for a null name) back at the real
// function. Answers 1, or 0 when no row has that name.
int RestoreSysCall(const char *name);

// Looks an optional (kOnFind) row up by name in module, through the
// GetProcAddress row, at the moment the caller chooses. Answers 1 when the
// system has it; until then, and where it has not, a call of the row answers
// as the system without it. A null module finds nothing: so a caller forgets
// the entry points of a library it has freed.
int FindEntryOfSlot(void **slot, HMODULE module);
template <typename Fn>
int FindEntry(Fn &slot, HMODULE module)
{
    return FindEntryOfSlot(reinterpret_cast<void **>(&slot), module);
}
// The same in the row's own library, which the process has loaded already
// (KERNEL32.DLL, ADVAPI32.DLL), found through the GetModuleHandleA row.
int FindEntryInItsLibraryOfSlot(void **slot);
template <typename Fn>
int FindEntry(Fn &slot)
{
    return FindEntryInItsLibraryOfSlot(reinterpret_cast<void **>(&slot));
}

}  // namespace sys

// Swaps one call for the length of a scope and puts the previous one back.
template <typename Fn>
class ScopedSysCall {
public:
    ScopedSysCall(Fn &slot, Fn replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~ScopedSysCall() { slot_ = saved_; }
    ScopedSysCall(const ScopedSysCall &) = delete;
    ScopedSysCall &operator=(const ScopedSysCall &) = delete;

private:
    Fn &slot_;
    Fn saved_;
};
