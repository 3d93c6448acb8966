// Facts about the machine the run is on, asked by every clean-up step: the
// Windows family, administrator rights, the Windows folder.
#pragma once

// 1 on an NT-family system, 0 on Windows 9x. Asks the system at every call.
int IsWindowsNT(void);

// 1 when the process token holds the built-in Administrators group enabled for
// use; 0 otherwise and on any failure.
int IsUserAdmin(void);

// Writes the Windows directory followed by name (e.g. "\T-Vornik.log") into
// buffer. Answers 0, leaving no path, when the system fails or the path does
// not fit.
int BuildWindowsPath(const char *name, char *buffer, unsigned size);
