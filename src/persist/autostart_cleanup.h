// The worm's autostart entries: Run-key values and Startup-folder copies.
#pragma once

#include <windows.h>

// Where the worm copies itself, relative to a drive root: the All Users
// Startup folder of both layouts ("StartUp" and "Startup" as each spells it).
extern const char *const StartupCopyPaths[4];

// Deletes one value under keyPath of hive, logging the outcome by the key path
// alone. On 64-bit Windows HKEY_LOCAL_MACHINE's 64-bit view is cleaned too,
// its lines marked " (64-bit view)".
void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName);

// Deletes the named values under keyPath of every user hive loaded under
// HKEY_USERS but the current user's (HKEY_CURRENT_USER's, cleaned already),
// each logged by the path it opens ("<SID>\<key path>"):
// an infected user's values stay otherwise when an administrator cleans.
// Hives of users who are not logged on are left to the next routine.
void DeleteRunValuesOfOtherUsers(const char *keyPath, const char *const *valueNames, int count);

// The same for every user the system keeps a profile of whose hive is not
// loaded (nobody logged on, as for a startup script): each hive is loaded
// under "T-Vornik.<SID>" below HKEY_USERS, its values deleted (logged as
// "<SID>\<key path>") and unloaded. A hive that is in use, cannot be loaded,
// or lies behind a path that cannot be trusted is logged and counted as not
// examined. Needs the backup and restore privileges; NT family only.
void DeleteRunValuesOfUnloadedUsers(const char *keyPath, const char *const *valueNames, int count);

// Deletes the worm's copies in the All Users Startup folders of every fixed drive.
void RemoveStartupCopies(void);
