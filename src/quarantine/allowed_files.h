// Files the administrator has said are not the worm, by their SHA-256: a
// file whose fingerprint matches but whose bytes are allowed is left alone.
//
// The machine's list is the REG_MULTI_SZ value Allowed under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tavrel\T-Vornik (the 64-bit view on 64-bit
// Windows), which only administrators can change; one string a file: its
// SHA-256 in lower-case hex, a space and where it was restored. A run adds
// the hashes of an /ALLOWLIST file for itself alone. The run's set is read
// once before any step, and only read afterwards, so the walk's reader
// threads may ask it.
#pragma once

#include <stddef.h>

// The SHA-256 in hex: its digits, without the NUL.
enum { kSha256Digits = 64 };

// 1 when the length bytes at text are 64 hex digits, of either case.
int IsSha256Text(const char *text, size_t length);

// Reads the machine's list into the run's set. Answers 0, or the registry's
// error (the set then holds nothing of the machine's; a missing value is no
// error).
long LoadMachineAllowed(void);

// What reading an /ALLOWLIST file can answer.
enum AllowListResult {
    kAllowListRead = 0,
    kAllowListUnreadable,  // *detail is the system's error
    kAllowListTooLarge,    // over kAllowListLimit bytes
    kAllowListBadLine,     // *detail is the number of the first line that is no SHA-256
};
enum : unsigned long { kAllowListLimit = 1ul << 20 };

// Adds the hashes of the file at path (one a line; blank lines and lines
// starting with '#' are passed over, spaces and tabs around a hash too) to
// the run's set: all of them, or none when it answers anything but
// kAllowListRead. *count receives how many lines held a hash.
int AddAllowListFile(const char *path, unsigned long *detail, unsigned *count);

// 1 when hex (64 lower-case digits) is in the run's set.
int IsAllowedSha256(const char *hex);

// The number of hashes in the run's set.
unsigned AllowedCount(void);

// Gives back the run's set.
void FreeAllowed(void);

// The machine's list as stored, one string a file, ended by an empty one.
struct MachineAllowed {
    char *strings;  // null when nothing is stored
};

// Reads the machine's list. Answers 0 (a missing value reads as an empty
// list), or the registry's error; list is always given back with
// FreeMachineAllowed.
long ReadMachineAllowed(MachineAllowed *list);
void FreeMachineAllowed(MachineAllowed *list);

// Adds hex (any case; stored in lower case) with a note of where the file
// lies, unless it is there already. Answers 0 or the registry's error.
long AllowOnMachine(const char *hex, const char *note);

// Takes hex (any case) off the machine's list. Answers 0,
// ERROR_FILE_NOT_FOUND when it is not on it, or the registry's error.
long DisallowOnMachine(const char *hex);
