// Removing a file: at once when possible, else at the next restart.
#pragma once

#include <windows.h>

// The system's own ReplaceFile (a rename helper) is not used here; the name
// belongs to the tool's deletion routine.
#ifdef ReplaceFile
#undef ReplaceFile
#endif

enum ReplaceResult {
    ReplaceNotFound = 0,      // no file there (nothing, or a folder): nothing done
    ReplaceDone = 1,          // deleted now
    ReplaceAtReboot = 2,      // deletion scheduled for the next start
    ReplaceFailedPartly = 3,  // never answered by a deletion; callers treat it as 4
    ReplaceFailed = 4,        // neither deleted nor scheduled
};

// 1 when path can be opened for reading (and closes it again), else 0.
int FileExist(const char *path);

// Deletes pathPrefix + source (destination must be null: the tool only ever
// deletes). A refused deletion is handed to AddFileToAutomaticRenameList.
// Answers a ReplaceResult.
int ReplaceFile(const char *pathPrefix, const char *source, const char *destination, int reserved);

// Schedules source for deletion at the next start (destination null): the
// delayed move on NT for an administrator, WININIT.INI on Windows 9x.
// Answers non-zero when scheduled.
int AddFileToAutomaticRenameList(const char *source, const char *destination);
