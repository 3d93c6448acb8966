#include "guard/guard_device.h"

#include "sys/syscalls.h"

#include <stdint.h>
#include <string.h>

const char GuardDeviceNamePath[] = "HKEY_LOCAL_MACHINE\\Software\\Vardeko\\Tavrel\\Portiva\\\\DeviceName";

int OpenRegistryPath(HKEY *key, char **valueName, int *isRootKey, const char *path)
{
    *valueName = nullptr;
    char *copy = sys::strdup(path);
    if (copy == nullptr)
        return RegistryPathNoMemory;

    RegistryPathParts parts;
    int status = SplitRegistryPath(copy, &parts);
    if (status != RegistryPathOk) {
        sys::free(copy);
        return status;
    }

    HKEY root = reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<LONG>(parts.root->key)));
    HKEY opened = root;
    int rootKey = 1;
    if (parts.keyPath != nullptr) {
        rootKey = 0;
        if (sys::RegOpenKeyExA(root, parts.keyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
            sys::free(copy);
            return RegistryPathOpenFailed;
        }
    }

    // Without its own copy of the name the caller would read the key's
    // default value instead: that is a failure, not a success.
    char *name = sys::strdup(parts.valueName);
    sys::free(copy);
    if (name == nullptr) {
        if (!rootKey)
            sys::RegCloseKey(opened);
        return RegistryPathNoMemory;
    }
    *key = opened;
    *isRootKey = rootKey;
    *valueName = name;
    return RegistryPathOk;
}

int ReadRegistryPathValue(void *buffer, DWORD size, const char *path)
{
    HKEY key;
    char *valueName;
    int isRootKey;
    int status = OpenRegistryPath(&key, &valueName, &isRootKey, path);
    if (status != RegistryPathOk)
        return status;

    DWORD length = size;
    LONG read = sys::RegQueryValueExA(key, valueName, nullptr, nullptr, static_cast<BYTE *>(buffer), &length);
    if (read == ERROR_MORE_DATA)
        status = RegistryPathTooLarge;
    else if (read != ERROR_SUCCESS)
        status = RegistryPathReadFailed;

    if (!isRootKey)
        sys::RegCloseKey(key);
    sys::free(valueName);
    return status;
}

int GuardPlatformIsNt(void)
{
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return sys::GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

HANDLE OpenGuardControlDevice(void)
{
    if (GuardPlatformIsNt())
        return sys::CreateFileA("\\\\.\\QVPortivaDev", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr);

    // Zero-filled, so a shorter value (or one stored without its NUL)
    // compares as what it holds.
    char deviceName[16];
    memset(deviceName, 0, sizeof deviceName);
    int status = ReadRegistryPathValue(deviceName, sizeof deviceName, GuardDeviceNamePath);
    const char *device = status == RegistryPathOk && memcmp(deviceName, "PV95", 5) == 0 ? "\\\\.\\PV95" : "\\\\.\\KXR";
    return sys::CreateFileA(device, 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}
