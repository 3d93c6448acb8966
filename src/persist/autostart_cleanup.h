// The worm's autostart entries: Run-key values and Startup-folder copies.
#pragma once

#include <windows.h>

// Deletes one value under keyPath of hive, logging the outcome.
void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName);

// Deletes the worm's copies in the All Users Startup folders of every fixed drive.
void RemoveStartupCopies(void);
