// Removing one worm object (a file that carries the fingerprint, a file by
// its known name, a Startup copy) as every step does: left alone in a
// report-only run, else deleted, logged, recorded for the report and counted.
// The steps say on the console what became of it, each in its own words.
#pragma once

#include "run/run_record.h"
#include "fileops/held_file.h"
#include "removal/replace_file.h"

// Where the steps' objects are handled apart.
enum RemoveFlags {
    // The path names the real file on 64-bit Windows (a process's image): the
    // file-system redirection is off for the deletion alone.
    kRemoveRealFile = 1,
    // A path looked at on the chance that something lies there (a Startup
    // copy on each fixed drive): reported only when there, recorded only when
    // the deletion found something.
    kRemoveOnlyWhatIsThere = 2,
    // A file deleted for its name on a volume whose links name another
    // system's drives (/OFFLINE): no link on its path is followed.
    kRemoveRefuseLinks = 4,
};

struct WormObject {
    int kind;                      // kObjectFile, kObjectKnownName or kObjectStartupCopy
    ToolPath path;                 // acted on by its exact form, named by its shown one
    const FileIdentity *examined;  // the very file judged, or null: deleted for its name
    const WormFileFacts *facts;    // what the report says of a worm file, or null
    const char *rule;              // why it goes, for the kept copy's record
    int flags;                     // RemoveFlags
};

// Answered in a report-only run for an object left as it was (and recorded
// so); a kRemoveOnlyWhatIsThere path with nothing there answers
// ReplaceNotFound and is not recorded.
enum { kRemoveReportOnly = -1 };

// Removes one object: "Would delete file" logged and the object recorded as
// left in a report-only run; else deleted (ReplaceExaminedFile for an
// examined file, ReplaceNamedFile for one deleted by its name), "Deleting
// file" logged with the result, the object recorded with it and the result
// counted. Answers kRemoveReportOnly or the ReplaceResult.
int RemoveWormObject(const WormObject *object);
