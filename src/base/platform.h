// Facts about the machine the run is on, asked by every clean-up step: the
// Windows family, administrator rights, the Windows folder.
#pragma once

#include <windows.h>

// 1 on an NT-family system, 0 on Windows 9x. Asks the system at every call.
int IsWindowsNT(void);

// Keeps every library the process loads from now on to the system folder:
// the folder of the tool and the current folder may be a user's (Downloads,
// a desktop, a USB stick), and a library planted there would run with the
// administrator's rights. Drops the current folder from the search where the
// system can (XP SP1 on), and limits the search to the system folder where it
// can (Windows 8 on, 7 and Vista with their update); elsewhere it does nothing.
// Runs before main; calling it again changes nothing.
void RestrictLibrarySearch(void);

// Loads a library from the system folder by its whole path ("<system
// folder>\PSAPI.DLL"), never by a bare name that a search could resolve
// elsewhere. Null when the system folder is unknown or the library cannot be
// loaded; the caller frees what it answers with FreeLibrary.
HMODULE LoadSystemLibrary(const char *name);

// 1 when this 32-bit process runs on 64-bit Windows (WOW64), where the
// system redirects System32 and part of the registry for it. Resolved at
// run time: Windows 9x and older NT have no IsWow64Process and answer 0.
int IsWow64(void);

// The calling thread's file-system redirection, switched off under WOW64 so
// that its file calls name the real files (the real System32, SysWOW64 once).
// Redirection is per thread: every thread that touches files switches it
// off for itself, and back with what FileRedirectionOff answered. Elsewhere
// both do nothing.
struct FileRedirection {
    int off;
    void *previous;
};
FileRedirection FileRedirectionOff(void);
void FileRedirectionBack(FileRedirection redirection);

// 1 when the calling thread has switched redirection off (FileRedirectionOff),
// so that a thread making a call for it can do the same.
int FileRedirectionIsOff(void);

// 1 when the process token holds the built-in Administrators group enabled for
// use; 0 otherwise and on any failure.
int IsUserAdmin(void);

// Writes the Windows directory followed by name (e.g. "\T-Vornik.log") into
// buffer. Answers 0, leaving no path, when the system fails or the path does
// not fit.
int BuildWindowsPath(const char *name, char *buffer, unsigned size);

// 0 when nobody can answer a message box this process shows: its window
// station is not the interactive one ("WinSta0") or has no visible desktop
// (a service, SYSTEM in session 0). 1 otherwise, on Windows 9x, and when the
// system cannot tell (the box is then shown, as it always was).
int CanAnswerMessageBox(void);

// Enables (enable non-zero) or disables one privilege of a token, leaving its
// other attribute bits alone. Answers 1 on success, 0 on failure.
int SetPrivilege(HANDLE token, const char *privilegeName, int enable);
