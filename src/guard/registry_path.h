// Registry path strings: one line naming one registry value, as
//   ROOT\Key\Path\\ValueName      or      ROOT\\ValueName
// with an optional "|..." after the value name that plays no part in the
// lookup. The parsing here makes no system call.
#pragma once

#include <stdint.h>

// Results of the registry path routines.
enum RegistryPathStatus {
    RegistryPathOk = 0,
    RegistryPathOpenFailed = 1,  // the key could not be opened
    RegistryPathReadFailed = 2,  // the value could not be read (missing included)
    RegistryPathTooLarge = 3,    // the value is larger than the caller's buffer
    RegistryPathMalformed = 4,   // no backslash, no pair of backslashes, or an unknown root
    RegistryPathNoMemory = 100,  // a working copy could not be made
};

// The root names a string may start with, compared without regard to case,
// and the predefined keys they stand for (as their 32-bit handle values).
struct RegistryRootName {
    const char *name;
    uint32_t key;
};
extern const RegistryRootName RegistryRootNames[4];

// The parts of a registry path string, pointing into the string it was cut from.
struct RegistryPathParts {
    const RegistryRootName *root;
    const char *keyPath;  // null when the value lies directly under the root key
    const char *valueName;
};

// Cuts `text` (modified in place: NULs end the root name, the key path and
// the value name) into its parts. Trailing spaces of a value name without a
// '|' are cut. Answers RegistryPathOk or RegistryPathMalformed.
int SplitRegistryPath(char *text, RegistryPathParts *parts);
