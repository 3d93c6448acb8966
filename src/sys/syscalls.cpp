#include "sys/syscalls.h"

#include <string.h>

namespace sysopt {

// The entry point, looked up until found (two threads may both look: they
// find the same one). Null where the system has none.
static FARPROC Entry(FARPROC *cache, const char *module, const char *name)
{
    if (*cache == nullptr) {
        HMODULE library = ::GetModuleHandleA(module);
        *cache = library != nullptr ? ::GetProcAddress(library, name) : nullptr;
    }
    return *cache;
}

#define VORNIK_OPTIONAL_ENTRY(type, module, name) \
    static FARPROC cache;                          \
    type call = reinterpret_cast<type>(reinterpret_cast<void *>(Entry(&cache, module, name)))

static const LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002L);

LONG NTAPI NtSetInformationFile(HANDLE file, void *ioStatus, void *information, ULONG length, ULONG infoClass)
{
    typedef LONG(NTAPI * Fn)(HANDLE, void *, void *, ULONG, ULONG);
    VORNIK_OPTIONAL_ENTRY(Fn, "NTDLL.DLL", "NtSetInformationFile");
    return call != nullptr ? call(file, ioStatus, information, length, infoClass) : kStatusNotImplemented;
}

LONG NTAPI NtQueryInformationFile(HANDLE file, void *ioStatus, void *information, ULONG length, ULONG infoClass)
{
    typedef LONG(NTAPI * Fn)(HANDLE, void *, void *, ULONG, ULONG);
    VORNIK_OPTIONAL_ENTRY(Fn, "NTDLL.DLL", "NtQueryInformationFile");
    return call != nullptr ? call(file, ioStatus, information, length, infoClass) : kStatusNotImplemented;
}

DWORD WINAPI GetSecurityInfo(HANDLE object, int objectType, DWORD what, PSID *owner, PSID *group, PACL *dacl,
                             PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    typedef DWORD(WINAPI * Fn)(HANDLE, int, DWORD, PSID *, PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *);
    VORNIK_OPTIONAL_ENTRY(Fn, "ADVAPI32.DLL", "GetSecurityInfo");
    return call != nullptr ? call(object, objectType, what, owner, group, dacl, sacl, descriptor)
                           : ERROR_CALL_NOT_IMPLEMENTED;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR *descriptor, PULONG size)
{
    typedef BOOL(WINAPI * Fn)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR *, PULONG);
    VORNIK_OPTIONAL_ENTRY(Fn, "ADVAPI32.DLL", "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    if (call == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return call(text, revision, descriptor, size);
}

// The interactive window station's questions (NT only) and the CryptoAPI
// (absent from the first Windows 95): each fails as a missing call does.
#define VORNIK_OPTIONAL_BOOL(module, name, params, args)                \
    BOOL WINAPI name params                                          \
    {                                                                \
        typedef BOOL(WINAPI * Fn) params;                            \
        VORNIK_OPTIONAL_ENTRY(Fn, module, #name);                    \
        if (call == nullptr) {                                       \
            SetLastError(ERROR_CALL_NOT_IMPLEMENTED);                \
            return FALSE;                                            \
        }                                                            \
        return call args;                                            \
    }

HWINSTA WINAPI GetProcessWindowStation(void)
{
    typedef HWINSTA(WINAPI * Fn)(void);
    VORNIK_OPTIONAL_ENTRY(Fn, "USER32.DLL", "GetProcessWindowStation");
    if (call == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    return call();
}

VORNIK_OPTIONAL_BOOL("USER32.DLL", GetUserObjectInformationA,
                     (HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed),
                     (object, index, information, length, needed))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptAcquireContextA,
                     (HCRYPTPROV * provider, LPCSTR container, LPCSTR providerName, DWORD type, DWORD flags),
                     (provider, container, providerName, type, flags))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptReleaseContext, (HCRYPTPROV provider, DWORD flags), (provider, flags))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptCreateHash,
                     (HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH *hash),
                     (provider, algorithm, key, flags, hash))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptHashData, (HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags),
                     (hash, data, length, flags))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptGetHashParam,
                     (HCRYPTHASH hash, DWORD parameter, BYTE *data, DWORD *length, DWORD flags),
                     (hash, parameter, data, length, flags))
VORNIK_OPTIONAL_BOOL("ADVAPI32.DLL", CryptDestroyHash, (HCRYPTHASH hash), (hash))

#undef VORNIK_OPTIONAL_BOOL

// Loading another user's hive (NT only): fails as the registry calls do.
LONG WINAPI RegLoadKeyW(HKEY hive, LPCWSTR subKey, LPCWSTR file)
{
    typedef LONG(WINAPI * Fn)(HKEY, LPCWSTR, LPCWSTR);
    VORNIK_OPTIONAL_ENTRY(Fn, "ADVAPI32.DLL", "RegLoadKeyW");
    return call != nullptr ? call(hive, subKey, file) : ERROR_CALL_NOT_IMPLEMENTED;
}

LONG WINAPI RegUnLoadKeyW(HKEY hive, LPCWSTR subKey)
{
    typedef LONG(WINAPI * Fn)(HKEY, LPCWSTR);
    VORNIK_OPTIONAL_ENTRY(Fn, "ADVAPI32.DLL", "RegUnLoadKeyW");
    return call != nullptr ? call(hive, subKey) : ERROR_CALL_NOT_IMPLEMENTED;
}
#undef VORNIK_OPTIONAL_ENTRY

}  // namespace sysopt

namespace sys {

#define VORNIK_DEFINE_SYSCALL(name, real) decltype(&real) name = &real;
VORNIK_SYSCALLS(VORNIK_DEFINE_SYSCALL)
#undef VORNIK_DEFINE_SYSCALL

const SysCallRow *SysCallTable()
{
#define VORNIK_SYSCALL_ROW(name, real) \
    {#name, reinterpret_cast<void **>(&sys::name), reinterpret_cast<void *>(&real)},
    static const SysCallRow rows[] = {VORNIK_SYSCALLS(VORNIK_SYSCALL_ROW){nullptr, nullptr, nullptr}};
#undef VORNIK_SYSCALL_ROW
    return rows;
}

int RestoreSysCall(const char *name)
{
    int matched = 0;
    for (const SysCallRow *row = SysCallTable(); row->name != nullptr; ++row) {
        if (name == nullptr || strcmp(row->name, name) == 0) {
            *row->slot = row->original;
            matched = 1;
        }
    }
    return matched;
}

}  // namespace sys
