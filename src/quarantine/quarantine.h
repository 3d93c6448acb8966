// Nothing the tool deletes is lost: before a file goes, its bytes are kept in
// the quarantine, a folder of the tool's folder on the Windows drive
// ("<drive>:\T-Vornik.Held\Quarantine") that only SYSTEM and administrators can
// change. A fingerprint can be forged and can fall on a program's common
// runtime; across many machines a false match is a real risk, and a kept copy
// can be put back with /RESTORE.
//
// Each entry is one file: a short text record (the file's path, attributes,
// the time it was kept, its size, SHA-256 and the rule it was removed by),
// an empty line, then the file's bytes, each changed by a repeating key so
// that the entry can neither run nor look like the worm to another scanner.
// Entries are named by the time they were kept, so the oldest sorts first; the
// entries together stay within kQuarantineLimit, the oldest going first.
//
// NT family only: Windows 9x has no folder that only administrators can
// change, so nothing is kept there.
#pragma once

#include <windows.h>
#include <stddef.h>

#define QUARANTINE_FOLDER_NAME "Quarantine"

// The most the entries may hold together, records included.
enum : unsigned long { kQuarantineLimit = 64ul << 20 };

// How keeping a copy ended.
enum QuarantineKeepResult {
    kKept = 0,
    kKeepUnreadable,  // the file cannot be read (its holder shares no reading), or changed while read
    kKeepNoFolder,    // the quarantine folder cannot be made or trusted
    kKeepTooLarge,    // larger than kQuarantineLimit
    kKeepNotWritten,  // the entry could not be written whole (the disk is full, ...)
    kKeepNoSystem,    // Windows 9x: no folder only administrators can change
};

// Keeps a copy of the file open at file (with the right to read, from its
// first byte): original is its path in the wide form ("\\?\C:\..."),
// attributes its attributes as found, rule what it was removed for
// ("signature 2", "known name", "Startup copy"). Makes room first, logging each
// entry that goes. Writes the entry's name to entryName. Answers a
// QuarantineKeepResult.
int QuarantineKeep(HANDLE file, const wchar_t *original, DWORD attributes, const char *rule, char *entryName,
                   size_t size);

// What the keeping result says in a log line: "it cannot be read", ...
const char *QuarantineKeepFailure(int result);

// /RESTORE: prints the entries, numbered from 1, oldest first. Answers 0, or
// 3 when the quarantine cannot be read.
int QuarantineShowEntries(void);

// /RESTORE n [path]: puts entry n back at its own path, or at target when it
// is not null, with its attributes, verified by its SHA-256; never over an
// existing file and never through a link or junction. Answers 0 when restored,
// 3 when not (the console and the log say why).
int QuarantineRestoreEntry(int number, const char *target);
