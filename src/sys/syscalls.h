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
#include <wincrypt.h>
#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

// Entry points that older systems lack (Windows 9x, NT 4): each is looked up
// by name, when first called, in a library every process of the NT family has
// loaded (NTDLL, ADVAPI32), and fails as the call does where it is missing
// (STATUS_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED). The program then
// still starts on every system.
namespace sysopt {
LONG NTAPI NtSetInformationFile(HANDLE file, void *ioStatus, void *information, ULONG length, ULONG infoClass);
LONG NTAPI NtQueryInformationFile(HANDLE file, void *ioStatus, void *information, ULONG length, ULONG infoClass);
DWORD WINAPI GetSecurityInfo(HANDLE object, int objectType, DWORD what, PSID *owner, PSID *group, PACL *dacl,
                             PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR *descriptor, PULONG size);
HWINSTA WINAPI GetProcessWindowStation(void);
BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed);
BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *provider, LPCSTR container, LPCSTR providerName, DWORD type,
                                 DWORD flags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH *hash);
BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE *data, DWORD *length, DWORD flags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash);
LONG WINAPI RegLoadKeyW(HKEY hive, LPCWSTR subKey, LPCWSTR file);
LONG WINAPI RegUnLoadKeyW(HKEY hive, LPCWSTR subKey);
}  // namespace sysopt

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
    X(SetUnhandledExceptionFilter, ::SetUnhandledExceptionFilter) \
    X(MessageBoxA, ::MessageBoxA)                            \
    X(GetProcessWindowStation, ::sysopt::GetProcessWindowStation) \
    X(GetUserObjectInformationA, ::sysopt::GetUserObjectInformationA) \
    X(OutputDebugStringA, ::OutputDebugStringA)              \
    X(getch, ::_getch)                                       \
    X(write, ::_write)                                       \
    X(IsDBCSLeadByte, ::IsDBCSLeadByte)                      \
    /* the hidden window that hears the session's end */     \
    X(RegisterClassA, ::RegisterClassA)                      \
    X(UnregisterClassA, ::UnregisterClassA)                  \
    X(CreateWindowExA, ::CreateWindowExA)                    \
    X(DestroyWindow, ::DestroyWindow)                        \
    X(DefWindowProcA, ::DefWindowProcA)                      \
    X(PeekMessageA, ::PeekMessageA)                          \
    X(DispatchMessageA, ::DispatchMessageA)                  \
    X(MsgWaitForMultipleObjects, ::MsgWaitForMultipleObjects) \
    /* drives, folders, deletion, reboot-time moves */       \
    X(GetLogicalDriveStringsA, ::GetLogicalDriveStringsA)    \
    X(GetDriveTypeA, ::GetDriveTypeA)                        \
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
    X(NtSetInformationFile, ::sysopt::NtSetInformationFile)  \
    X(NtQueryInformationFile, ::sysopt::NtQueryInformationFile) \
    X(GetSecurityInfo, ::sysopt::GetSecurityInfo)            \
    X(ConvertStringSecurityDescriptorToSecurityDescriptorW,  \
      ::sysopt::ConvertStringSecurityDescriptorToSecurityDescriptorW) \
    /* files */                                              \
    X(CreateFileA, ::CreateFileA)                            \
    X(SetFilePointer, ::SetFilePointer)                      \
    X(ReadFile, ::ReadFile)                                  \
    X(WriteFile, ::WriteFile)                                \
    /* the SHA-256 of a worm file (CryptoAPI) */             \
    X(CryptAcquireContextA, ::sysopt::CryptAcquireContextA)  \
    X(CryptReleaseContext, ::sysopt::CryptReleaseContext)    \
    X(CryptCreateHash, ::sysopt::CryptCreateHash)            \
    X(CryptHashData, ::sysopt::CryptHashData)                \
    X(CryptGetHashParam, ::sysopt::CryptGetHashParam)        \
    X(CryptDestroyHash, ::sysopt::CryptDestroyHash)          \
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
    X(RegLoadKeyW, ::sysopt::RegLoadKeyW)                    \
    X(RegUnLoadKeyW, ::sysopt::RegUnLoadKeyW)                \
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
    X(fclose, ::fclose)

namespace sys {

#define VORNIK_DECLARE_SYSCALL(name, real) extern decltype(&real) name;
VORNIK_SYSCALLS(VORNIK_DECLARE_SYSCALL)
#undef VORNIK_DECLARE_SYSCALL

// A row of the table as tests see it: the name, the slot in use, the original.
struct SysCallRow {
    const char *name;
    void **slot;
    void *original;
};

// The whole table, ended by a row with a null name.
const SysCallRow *SysCallTable();

// Points the named row (or every row, for a null name) back at the real
// function. Answers 1, or 0 when no row has that name.
int RestoreSysCall(const char *name);

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
