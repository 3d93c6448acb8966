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

// /OFFLINE: deletes the named values from the Run keys of the installation
// whose Windows folder is windows ("D:\Windows", not running): its
// System32\config\SOFTWARE (with its WOW6432Node view where it has one), its
// System32\config\DEFAULT and the NTUSER.DAT of each profile its own
// ProfileList names, the profile's drive mapped to that folder's. Each file
// is loaded under "T-Vornik.Offline.<name>" below HKEY_USERS, its path held as
// for a user who is not logged on, and unloaded; logged by its file
// ("D:\Windows\System32\config\SOFTWARE\Microsoft\...\Run"). Needs the
// backup and restore privileges; NT family only.
void DeleteRunValuesOffline(const char *windows, const char *const *valueNames, int count);

// /OFFLINE: deletes the worm's copies in the All Users Startup folders of the
// volume at root ("D:\"), where Windows Vista and later keep it too, following
// no link (the installation's own junctions name its drive letter, another
// drive here).
void RemoveStartupCopiesOn(const char *root);
