// The SHA-256 of a worm file, for the run's report: incident responders look
// for the same file elsewhere by it. Taken from the system's CryptoAPI, only
// of files found to carry the fingerprint, before they are deleted.
#pragma once

#include "run/run_record.h"

#include <windows.h>

// Reads the whole file at path (any path the tool's path calls reach) and
// fills facts->size and facts->sha256; facts->known is 1 when both are had,
// 0 where the system has no SHA-256 (before Windows XP SP3) or the file
// cannot be read. signatureId is the caller's.
int FileSha256(const char *path, WormFileFacts *facts);

// FileSha256 through a handle open for reading, from the file's first byte:
// the bytes of the very file that was judged, never another one put at its
// path since.
int FileHandleSha256(HANDLE file, WormFileFacts *facts);

// A SHA-256 taken a piece at a time, for bytes copied as they are read.
struct Sha256Hash {
    uintptr_t provider;  // the CryptoAPI's handles, 0 when not had
    uintptr_t hash;
};

// Answers 1 when the system has SHA-256 (Windows XP SP3 on).
int Sha256Start(Sha256Hash *state);
// Answers 1 when the bytes were taken.
int Sha256Add(Sha256Hash *state, const void *bytes, unsigned long length);
// Writes the digest as 64 lower-case hex digits and their NUL to hex (65
// bytes) and answers 1; 0 when it cannot be had. Gives back what Sha256Start
// took, whatever the answer.
int Sha256Finish(Sha256Hash *state, char *hex);
