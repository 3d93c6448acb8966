// Paths the ANSI file calls cannot reach: paths of MAX_PATH characters or
// more, paths with a name the ANSI code page cannot hold that has no 8.3
// alias (short names are off on many volumes), and names that end with a dot
// or a space (the ANSI calls strip those). A worm copy hidden there would
// escape the clean-up; such a path goes to the wide call instead, as "\\?\"
// and the path converted from the ANSI code page, each such name by its exact
// form. Other paths keep the ANSI calls. Console and log show the path as the
// code page shows it.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdio.h>

// A path as the steps carry it from where it was found to where it is
// written out: exact is what the file calls take (marked names and all),
// shown is what the console, the log and the report name it by. Only shown
// is ever written out.
struct ToolPath {
    const char *exact;
    const char *shown;
};

// A path that can carry no marked name (built from ANSI calls, a process's
// image, a known name): both forms are the one text.
inline ToolPath PlainPath(const char *path) { return ToolPath{path, path}; }

// 1 when path is too long for the ANSI file calls.
int IsLongPath(const char *path);

// A name the code page cannot hold goes into a path as kExactNameOpen, the
// name in UTF-8, kExactNameClose, then the name as the code page shows it: at
// most kMarkedNameSize bytes with the terminator. The marks never leave this
// room's callers: what is written out is the shown form.
enum { kExactNameOpen = '\x01', kExactNameClose = '\x02' };
enum { kMarkedNameSize = 1 + 3 * MAX_PATH + 1 + 2 * MAX_PATH + 1 };

// The shown form of exact, every marked name as the code page shows it (to
// the end where a mark is not closed) and every control byte escaped as
// ShowText does (at most kShownGrowth times as long), into shown (size bytes,
// cut to fit, always terminated when size is not 0). Answers the shown
// form's length before any cut.
size_t PathShownForm(const char *exact, char *shown, size_t size);

// 1 when a name (as a search or the system gave it) holds a byte of the
// marks. No Windows file system takes such a name (control characters are
// refused in names), so none can be opened there: it is not examined rather
// than read as a marked name.
int PathHoldsMarks(const char *name);

// 1 when a name holds a byte below 0x20 (the marks among them): the file
// calls refuse such a name, which only another system can have made.
int PathNameHoldsControls(const char *name);

// For an entry of a search of folderPath (ending with a backslash) whose name
// came back with '?' for what the code page cannot hold: writes the name's
// marked form to name. The entry is looked up by a wide search of the folder
// as the one with that shown name, times, size and attributes. Answers 1, or
// 0 when it cannot be told (no wide calls, no such entry, or more than one).
int PathMarkName(const char *folderPath, const WIN32_FIND_DATAA *entry, char *name, size_t size);

// The path in its wide form, as the wide calls take it: "\\?\" and the path
// converted from the code page (a UNC path as "\\?\UNC\..."), each marked name
// by its exact form. In a heap block the caller frees with sys::free; null,
// with the last error set, when it cannot be had.
wchar_t *PathToWide(const char *path);

// The file calls for any path: the ANSI call for a short path, the wide call
// for a long one or one with a marked name. Each answers and fails like the
// ANSI call (a path that cannot be converted fails with
// ERROR_NOT_ENOUGH_MEMORY or ERROR_FILENAME_EXCED_RANGE, or errno
// ENAMETOOLONG).
HANDLE PathCreateFile(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
BOOL PathMoveFileEx(const char *path, const char *newName, DWORD flags);
FILE *PathFopen(const char *path, const char *mode);
int PathRemove(const char *path);

// Clears the read-only, hidden and system attributes of the file at path:
// read-only stands in the way of a deletion, now and at the restart. Answers
// 1 when there were any and they are cleared, 0 when there were none, -1 when
// they could not be read or cleared.
int PathClearHoldingAttributes(const char *path);

// A folder search whose entries come back in the ANSI form, whatever the
// length of the pattern. *wide records which calls the search uses. An entry
// whose name cannot be put in the ANSI form fails the call with
// ERROR_NO_UNICODE_TRANSLATION.
HANDLE PathFindFirst(const char *pattern, WIN32_FIND_DATAA *entry, int *wide);
BOOL PathFindNext(HANDLE search, int wide, WIN32_FIND_DATAA *entry);

// 1 when a file (not a folder) lies at path, whether or not it can be opened,
// or when the search for it does not answer in time.
int PathFileIsThere(const char *path);
