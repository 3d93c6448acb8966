// Reader threads that fingerprint the drive walk's candidate files ahead of
// it. The walk queues its entries in its own order; the readers open, read
// and fingerprint the candidates; the walk takes the entries back in the same
// order, with their fingerprints, and does on its own thread whatever each
// needs: so every console line, log line, deletion and count comes in the
// order of a walk without readers.
#pragma once

#include "detect/signatures.h"
#include "fileops/long_path.h"
#include "fileops/timed_call.h"

struct ReadAhead;

// What an entry is: a candidate to read, a folder, or a candidate not to read
// (its data is not on this computer).
enum { kEntryCandidate = 0, kEntryFolder = 1, kEntryNotOnDisk = 2 };

// What the walk does with an entry taken back, by both forms of its path;
// fingerprint is null but for a candidate that was read.
typedef void (*ReadAheadHandler)(ToolPath path, int kind, const FingerprintResult *fingerprint);

enum {
    kReadAheadSlots = 64,  // entries queued at most: memory stays flat
    kMaxReaders = 4,
    // How long a candidate may take to open and read. A file whose open never
    // returns (an opportunistic lock another user holds on it) is then not
    // examined, its reader left behind in the system, and the walk goes on.
    kReadDeadlineMs = kCallDeadlineMs,
};

// Starts one reader per processor, at least one and at most kMaxReaders.
// Answers null, having kept nothing, when not one could be started.
ReadAhead *ReadAheadStart(ReadAheadHandler handler);

// Queues an entry; both forms of the path are copied, in one block. Entries at the head whose fingerprint
// is done are handed to the handler first, and with the queue full the walk
// waits for the oldest. Answers 0 when no copy of the path can be had: the
// entry is not queued, and every entry queued before it has been handed over.
int ReadAheadAdd(ReadAhead *readAhead, ToolPath path, int kind);

// For a walk passing over many entries it does not queue: hands over the
// entries that are ready and wakes a reader for any candidate still waiting,
// so that nothing queued waits on a long run of unqueued entries.
void ReadAheadKeepMoving(ReadAhead *readAhead);

// Hands every queued entry to the handler, waiting for the readers as needed
// (never past a candidate's deadline).
void ReadAheadFinish(ReadAhead *readAhead);

// FingerprintFile on a thread of its own, waited for kReadDeadlineMs at most:
// a file that misses it is not examined (result->timedOut 1) and its thread
// is left behind in the system. Where no thread can be started, the read is
// made on the caller's thread.
void FingerprintFileInTime(const char *path, const SignatureEntry *table, FingerprintResult *result);

// Hands over what is queued, ends and joins the readers, releases everything.
void ReadAheadStop(ReadAhead *readAhead);
