// Removing a file: at once when possible, else at the next restart.
#pragma once

#include "fileops/held_file.h"
#include "fileops/long_path.h"
#include "fileops/reboot_rename.h"

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

// 1 when path can be opened for reading (and closes it again), else 0; -1
// when the open did not answer within the deadline of timed calls.
int FileExist(const char *path);

// Deletes a file the tool deletes for its name alone (a known name, a
// Startup copy), rule saying which for the kept copy's record. On the NT
// family it is reached without following any link but those the system
// made, deleted through its handle and "done" only once its name is gone; a
// deletion that must wait is handed to AddFileToAutomaticRenameList, from the
// tool's folder where the file can be moved there. Acts on path.exact, logs
// path.shown. Answers a ReplaceResult.
int ReplaceNamedFile(ToolPath path, const char *rule);

// Deletes a file found to carry the worm's fingerprint: on the NT family
// only the very file that was examined (its identity), reached without
// following any link; a path that now leads elsewhere or through a link
// deletes nothing and answers ReplaceFailed. Otherwise as ReplaceNamedFile.
// rule says for the kept copy's record why it was removed ("signature 2").
int ReplaceExaminedFile(ToolPath path, const FileIdentity *examined, const char *rule);

// ReplaceNamedFile for pathPrefix + source (logged by its shown form), its
// record's rule "file name";
// destination must be null (the tool only ever deletes). The steps delete
// through RemoveWormObject (remove_object.h), which calls ReplaceNamedFile or
// ReplaceExaminedFile.
int ReplaceFile(const char *pathPrefix, const char *source, const char *destination, int reserved);
