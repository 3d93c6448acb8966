// Worm fingerprints: the built-in table and the match of one file against it.
#pragma once

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

// The worm's four fingerprints, ended by an all-zero row. A row's position is
// its signature ID.
extern const SignatureEntry SignatureTable[];

// Where each window is read: one buffer for the whole run, so only one match
// may run at a time. It holds the last window read; nothing reads it outside
// MatchFileSignature.
extern unsigned char SignatureReadBuffer[MaxSignatureLength];

// Opens the file for reading (read sharing only) and tests it against the
// rows of `table` in order. Answers 1 when the file was opened and examined,
// 0 when it could not be opened or not one window of it could be read (a
// failed seek or read on every row). *matchIndex receives the ID of the first
// matching row, or -1 (no match, or not opened). A row whose window cannot be
// positioned ("seek failed" on the console), is longer than
// MaxSignatureLength, or is not wholly inside the file is skipped.
int MatchFileSignature(const char *path, const SignatureEntry *table, int32_t *matchIndex);

// The drive walk's check: matches the file against SignatureTable and, when a
// row matched, sets *infected to 1 (else 0) and logs
// "Infected (signature ID %d): %s". Answers MatchFileSignature's result.
int ScanFileForSignature(const char *path, int32_t *infected);
