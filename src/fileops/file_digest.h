// The SHA-256 of a worm file, for the run's report: incident responders look
// for the same file elsewhere by it. Taken from the system's CryptoAPI, only
// of files found to carry the fingerprint, before they are deleted.
#pragma once

#include "base/run_record.h"

// Reads the whole file at path (any path the tool's path calls reach) and
// fills facts->size and facts->sha256; facts->known is 1 when both are had,
// 0 where the system has no SHA-256 (before Windows XP SP3) or the file
// cannot be read. signatureId is the caller's.
int FileSha256(const char *path, WormFileFacts *facts);
