// The worm's autostart entries: Run-key values and Startup-folder copies.
#pragma once

#include <windows.h>

// Where the worm copies itself, relative to a drive root: the All Users
// Startup folder of both layouts ("StartUp" and "Startup" as each spells it).
extern const char *const StartupCopyPaths[4];

// Deletes one value under keyPath of hive, logging the outcome.
void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName);

// Deletes the worm's copies in the All Users Startup folders of every fixed drive.
void RemoveStartupCopies(void);
