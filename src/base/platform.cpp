#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

int IsWindowsNT(void)
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    // The call does not fail with this size; should it, the NT answer keeps the
    // administrator gate in force rather than waving the run through.
    if (!sys::GetVersionExA(&version))
        return 1;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

void RestrictLibrarySearch(void)
{
    int hasDefault = sys::FindEntry(sys::SetDefaultDllDirectories);
    int hasDirectory = sys::FindEntry(sys::SetDllDirectoryA);
    if (hasDefault)
        sys::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // An empty folder takes the current folder out of the search order.
    if (hasDirectory)
        sys::SetDllDirectoryA("");
}

namespace {
// Before any other code of the program runs, so nothing can load a library
// under the default search first.
struct LibrarySearchAtStart {
    LibrarySearchAtStart() { RestrictLibrarySearch(); }
};
LibrarySearchAtStart g_librarySearchAtStart __attribute__((init_priority(101)));
}  // namespace

HMODULE LoadSystemLibrary(const char *name)
{
    char path[MAX_PATH];
    UINT length = sys::GetSystemDirectoryA(path, sizeof path);
    size_t nameSize = strlen(name) + 1;
    // 0 is a failure; a length at or past the buffer size did not fit.
    if (length == 0 || length >= sizeof path || length + 1 + nameSize > sizeof path)
        return nullptr;
    path[length] = '\\';
    memcpy(path + length + 1, name, nameSize);
    return sys::LoadLibraryA(path);
}

int IsWow64(void)
{
    BOOL wow64 = FALSE;
    if (!sys::FindEntry(sys::IsWow64Process) || !sys::IsWow64Process(sys::GetCurrentProcess(), &wow64))
        return 0;
    return wow64 ? 1 : 0;
}

// How many FileRedirectionOff calls of this thread are not yet undone: the
// system answers no question about the state.
static thread_local int t_redirectionOffDepth;

FileRedirection FileRedirectionOff(void)
{
    FileRedirection redirection = {0, nullptr};
    if (!IsWow64())
        return redirection;
    if (sys::FindEntry(sys::Wow64DisableWow64FsRedirection) &&
        sys::Wow64DisableWow64FsRedirection(&redirection.previous)) {
        redirection.off = 1;
        ++t_redirectionOffDepth;
    }
    return redirection;
}

void FileRedirectionBack(FileRedirection redirection)
{
    if (!redirection.off)
        return;
    --t_redirectionOffDepth;
    if (sys::FindEntry(sys::Wow64RevertWow64FsRedirection))
        sys::Wow64RevertWow64FsRedirection(redirection.previous);
}

int FileRedirectionIsOff(void) { return t_redirectionOffDepth > 0; }

int BuildWindowsPath(const char *name, char *buffer, unsigned size)
{
    char windowsDir[MAX_PATH];
    UINT length = sys::GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
    // 0 is a failure; a length at or past the buffer size means it did not fit.
    if (length == 0 || length >= sizeof windowsDir)
        return 0;
    size_t nameSize = strlen(name) + 1;
    if (length + nameSize > size)
        return 0;
    memcpy(buffer, windowsDir, length);
    memcpy(buffer + length, name, nameSize);
    return 1;
}

int IsUserAdmin(void)
{
    DWORD size = 1024;
    BYTE *groups = static_cast<BYTE *>(sys::malloc(size));
    if (groups == nullptr)
        return 0;

    HANDLE token = nullptr;
    if (!sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_READ, &token)) {
        sys::free(groups);
        return 0;
    }
    DWORD needed = 0;
    BOOL queried = sys::GetTokenInformation(token, TokenGroups, groups, size, &needed);
    if (!queried && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        sys::free(groups);
        groups = static_cast<BYTE *>(sys::malloc(needed));
        if (groups != nullptr)
            queried = sys::GetTokenInformation(token, TokenGroups, groups, needed, &needed);
    }
    sys::CloseHandle(token);
    if (!queried || groups == nullptr) {
        sys::free(groups);
        return 0;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID adminSid = nullptr;
    if (!sys::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                       0, 0, 0, 0, 0, 0, &adminSid)) {
        sys::free(groups);
        return 0;
    }

    // The group counts only when it is enabled for use: an unelevated token
    // under user account control carries it as deny-only, and such a process
    // cannot delete what the clean-up must delete.
    int isAdmin = 0;
    const TOKEN_GROUPS *list = reinterpret_cast<const TOKEN_GROUPS *>(groups);
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        if (sys::EqualSid(list->Groups[i].Sid, adminSid)) {
            DWORD attributes = list->Groups[i].Attributes;
            isAdmin = (attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
            break;
        }
    }
    sys::FreeSid(adminSid);
    sys::free(groups);
    return isAdmin;
}

int CanAnswerMessageBox(void)
{
    if (!IsWindowsNT())
        return 1;
    // The process's own station handle: not to be closed.
    HWINSTA station = sys::GetProcessWindowStation();
    if (station == nullptr)
        return 1;
    char name[32];
    DWORD needed = 0;
    if (!sys::GetUserObjectInformationA(station, UOI_NAME, name, sizeof name, &needed))
        // A name too long for the buffer is not the interactive station's.
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? 0 : 1;
    name[sizeof name - 1] = '\0';
    if (_stricmp(name, "WinSta0") != 0)
        return 0;
    USEROBJECTFLAGS flags;
    if (!sys::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return 1;
    return (flags.dwFlags & WSF_VISIBLE) != 0 ? 1 : 0;
}

int SetPrivilege(HANDLE token, const char *privilegeName, int enable)
{
    LUID luid;
    if (!sys::LookupPrivilegeValueA(nullptr, privilegeName, &luid))
        return 0;

    // First pass: learn the privilege's present attributes (by applying "all
    // bits clear" and asking for what was there before).
    TOKEN_PRIVILEGES request;
    memset(&request, 0, sizeof request);
    request.PrivilegeCount = 1;
    request.Privileges[0].Luid = luid;
    request.Privileges[0].Attributes = 0;
    // The system fills the previous state only for privileges it changed; the
    // rest must read as zero, not as stack leftovers.
    TOKEN_PRIVILEGES previous;
    memset(&previous, 0, sizeof previous);
    DWORD previousLength = sizeof previous;
    SetLastError(0);
    BOOL applied = sys::AdjustTokenPrivileges(token, FALSE, &request, sizeof request, &previous, &previousLength);
    // ERROR_NOT_ALL_ASSIGNED comes with a TRUE answer; a plain failure may
    // leave no error code behind. Either one fails the call.
    if (!applied || GetLastError() != 0)
        return 0;

    // Second pass: the previous attributes with only the enabled bit changed.
    previous.PrivilegeCount = 1;
    previous.Privileges[0].Luid = luid;
    if (enable)
        previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
    else
        previous.Privileges[0].Attributes &= ~(DWORD)SE_PRIVILEGE_ENABLED;
    SetLastError(0);
    applied = sys::AdjustTokenPrivileges(token, FALSE, &previous, previousLength, nullptr, nullptr);
    return applied && GetLastError() == 0 ? 1 : 0;
}
