// Worm fingerprints: the built-in table and the match of one file against it.
#pragma once

#include "quarantine/file_digest.h"
#include "fileops/held_file.h"

#include <stdint.h>

// One fingerprint: the CRC-32 of `length` bytes starting at byte `offset`.
// A row with length 0 ends a table.
struct SignatureEntry {
    int32_t offset;  // never negative
    uint32_t length;
    uint32_t crc;
};

// The longest window that is ever read; a row asking for more never matches.
constexpr uint32_t MaxSignatureLength = 0x3000;

// What one read of a file covers: the built-in table's windows lie within
// its first 16 KiB, so a candidate is read once. A table whose windows lie
// further apart is read in several pieces.
constexpr uint32_t SignatureSpanLength = 0x4000;

// The worm's four fingerprints, ended by an all-zero row. A row's position is
// its signature ID.
extern const SignatureEntry SignatureTable[];

// The buffer of the matches made on the run's main thread (a reader thread of
// the drive walk has one of its own). It holds the last bytes read; nothing
// reads it outside a match.
extern unsigned char SignatureReadBuffer[SignatureSpanLength];

// What fingerprinting one file found.
struct FingerprintResult {
    int examined;        // 1 when opened and at least one window was read
    int32_t matchIndex;  // ID of the first matching row, or -1
    int seekFailures;    // positionings that failed ("seek failed" each)
    FileIdentity identity;  // the file read, when a row matched: what the deletion checks against
    int timedOut;           // 1 when it was not examined for want of an answer in time
    WormFileFacts facts;    // FingerprintWormFile, when a row matched: its ID, the file's size and SHA-256
    int allowed;            // FingerprintWormFile: 1 when a row matched but that SHA-256 is allowed
};

// Opens the file for reading (sharing read, write and, on NT, delete) and tests it against the
// rows of `table` in order, reading into `buffer` (bufferSize at least
// MaxSignatureLength): one read covers every window that fits the buffer from
// the first one, and a window that several rows share is summed once. Prints
// and logs nothing, so any thread may call it with a buffer of its own.
// Answers result->examined: 0 when the file could not be opened or not one
// window of it could be read. A row longer than MaxSignatureLength, or whose
// window is not wholly inside the file, is skipped.
int FingerprintFile(const char *path, const SignatureEntry *table, unsigned char *buffer, uint32_t bufferSize,
                    FingerprintResult *result);

// FingerprintFile, and for a worm file its size and SHA-256 (result->facts)
// for the run's report, read through the handle the match was made by, and
// whether that SHA-256 is allowed (result->allowed). Called where the read
// has its deadline (a reader thread), so the second read of a worm file has
// it too.
void FingerprintWormFile(const char *path, const SignatureEntry *table, unsigned char *buffer, uint32_t bufferSize,
                         FingerprintResult *result);

// FingerprintFile into SignatureReadBuffer, with "seek failed" on the console
// for each positioning that failed. Answers 1 when the file was examined;
// *matchIndex receives the ID of the first matching row, or -1. The steps
// match through FingerprintWormFile (the drive walk and its readers) and
// FingerprintFileInTime (the process scan, read_ahead.h), both FingerprintFile.
int MatchFileSignature(const char *path, const SignatureEntry *table, int32_t *matchIndex);

// What the drive walk says of a fingerprint: "seek failed" on the console for
// each failed positioning and, when a row matched, sets *infected to 1 (else
// 0) and logs "Infected (signature ID %d): %s"; for an allowed file it logs
// "Allowed (signature ID %d, SHA-256 %s): %s" and *infected stays 0.
// Answers result->examined.
int ReportFingerprint(const char *path, const FingerprintResult *result, int32_t *infected);

// The drive walk's check: FingerprintFile against SignatureTable, then
// ReportFingerprint. Answers whether the file was examined.
int ScanFileForSignature(const char *path, int32_t *infected);
