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
// entries together stay within kQuarantineLimit, earlier runs' oldest going
// first. A run lists the folder once; it never removes a copy it kept itself.
//
// NT family only: Windows 9x has no folder that only administrators can
// change, so nothing is kept there.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

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
    kKeepFullOfOwn,   // this run's own copies fill the bound
    kKeepNoRoom,      // earlier entries cannot be listed or removed to make room
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

// Forgets what the run knew of the quarantine (its one listing), at the
// run's end.
void QuarantineEndRun(void);

// ---------------------------------------------------------------------------
// Reading the kept entries (the /RESTORE command's store)

// Room for an entry's file name ("20261208-083000-000-000004D2-0.vq"); a
// longer name in the folder is none of the tool's and is not listed.
enum { kQuarantineNameMax = 64 };

// The quarantine folder, held: neither it nor the tool's folder can be
// renamed away while it is used.
struct QuarantineFolder {
    HANDLE tool, folder;
    wchar_t path[MAX_PATH];  // "\\?\C:\T-Vornik.Held\Quarantine"
};

// One entry as the folder lists it.
struct QuarantineListed {
    wchar_t name[kQuarantineNameMax];
    uint64_t size;  // the entry's, record included
};

// The entries, oldest first, with the folder held while the listing is open.
struct QuarantineListing {
    QuarantineFolder held;
    QuarantineListed *entries;  // a heap block, null when none
    int count;
};

// How opening the listing ended.
enum QuarantineListResult {
    kListed = 0,         // one entry or more are listed; the folder is held
    kListNoSystem,       // Windows 9x: nothing is kept on this system
    kListEmpty,          // no entry, or no quarantine folder at all
    kListNoFolder,       // the folder is there but cannot be held or trusted
    kListNotListed,      // the folder is held but cannot be listed
};

// Holds the quarantine and lists its entries. Answers a QuarantineListResult;
// the listing is always closed with QuarantineCloseListing (nothing is held
// but for kListed).
int QuarantineOpenListing(QuarantineListing *listing);
void QuarantineCloseListing(QuarantineListing *listing);

// An entry's name as the console and the log show it.
void QuarantineEntryName(const QuarantineListing *listing, int index, char name[kQuarantineNameMax]);

// The index of the entry named name (as listed, its ".vq" optional; case
// does not count), or -1.
int QuarantineFindEntry(const QuarantineListing *listing, const char *name);

// An entry's record: the kept file's facts, as written when it was kept.
struct QuarantineRecord {
    char *text;          // the record as read, its lines cut into the fields below
    const char *path;    // UTF-8: "C:\...", or "\\server\..."
    const char *kept;    // "2026-12-08 08:30:00 UTC"
    const char *rule;
    const char *sha256;  // 64 hex digits, or null when the system had none
    DWORD attributes;
    uint64_t size;
    DWORD dataOffset;    // where the kept bytes start
};

// An entry open to read, with its record.
struct QuarantineEntry {
    HANDLE file;  // INVALID_HANDLE_VALUE when it cannot be opened
    QuarantineRecord record;
};

// Opens entry index (0 for the oldest) of an open listing and reads its
// record. Answers 1 when the record is whole; the entry is always closed with
// QuarantineCloseEntry.
int QuarantineOpenEntry(const QuarantineListing *listing, int index, QuarantineEntry *entry);
void QuarantineCloseEntry(QuarantineEntry *entry);

// The record's path as the console and the log show it: the code page's
// form, with '?' for what it cannot hold.
void QuarantineShownPath(const QuarantineRecord *record, char *shown, size_t size);

// The record's path in its wide form ("\\?\C:\..."), in a heap block the
// caller frees with sys::free; null when it cannot be had.
wchar_t *QuarantineOriginalPath(const QuarantineRecord *record);

// How writing a kept file back ended.
enum QuarantineWriteResult {
    kWrittenBack = 0,      // the whole file is written, its size and SHA-256 those of the record
    kWriteNoDigest,        // no SHA-256 to check it by: none in the record, or none on this system
    kWriteEntryUnreadable, // the entry cannot be read
    kWriteFailed,          // the file cannot be written (or no memory to copy with)
    kWriteMismatch,        // the bytes written are not those the record describes
};

// Decodes the entry's kept bytes into file (open to write, empty) and checks
// them against its record. Answers a QuarantineWriteResult; on any answer but
// kWrittenBack the file holds a part at most, which the caller must not leave.
int QuarantineWriteBack(const QuarantineEntry *entry, HANDLE file);
