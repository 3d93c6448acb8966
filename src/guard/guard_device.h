// Opening a registry value named by a registry path string, and finding the
// resident guard's control device.
#pragma once

#include "guard/registry_path.h"

#include <windows.h>

// The one registry path string the tool reads: the guard's device name on
// Windows 9x.
extern const char GuardDeviceNamePath[];

// Parses `path` and opens its key. *valueName is set to null on entry; on
// success it receives a heap copy of the value name (release it with the
// runtime's free), *key the key, and *isRootKey 1 when the key is a
// predefined root (never closed) or 0 (close it with RegCloseKey). On
// failure nothing is handed out. Answers a RegistryPathStatus.
int OpenRegistryPath(HKEY *key, char **valueName, int *isRootKey, const char *path);

// Reads the value named by `path` into buffer (its data as stored, whatever
// its type), at most `size` bytes. Answers a RegistryPathStatus.
int ReadRegistryPathValue(void *buffer, DWORD size, const char *path);

// Opens the guard's control device: "\\.\QVPortivaDev" on the NT family; on
// Windows 9x "\\.\PV95" when the guard's device-name value says "PV95", else
// "\\.\KXR". Answers the handle, or INVALID_HANDLE_VALUE.
HANDLE OpenGuardControlDevice(void);

// 1 when the system reports the NT platform; any other platform, or a failed
// query, counts as Windows 9x for the guard's devices.
int GuardPlatformIsNt(void);
