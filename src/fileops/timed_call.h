// File calls with a deadline.
//
// An open or a listing that conflicts with another user's handle (one that
// shares no deletion) breaks that user's opportunistic lock first and waits
// until the holder lets go: for ever, if the holder never does, with the
// guard off. Such a call is made here on a thread of its own and waited for
// kCallDeadlineMs at most. A call that misses it is given up: its thread is
// left behind in the system and owns its work from then on; when the call
// comes back at last, the thread releases what it took (a handle, a search)
// and frees the work, touching nothing of the run's. The run counts what it
// was after as not examined, never as clean.
//
// Calls are made from the run's thread only (the walk's, which is the run's).
#pragma once

#include <windows.h>
#include <stddef.h>

enum {
    // How long an open or a listing may take (the drive walk's reads have the
    // same deadline).
    kCallDeadlineMs = 10000,
};

// What a timed call does, on its thread, with its work: it touches nothing
// but the work (a block of sys::malloc) and what it opens.
typedef void (*TimedRoutine)(void *work);

// Releases what the routine took into the work, for a call that came back
// after it was given up (null: nothing to release).
typedef void (*TimedRelease)(void *work);

// Keeps one thread for the calls made until the matching TimedCallsEnd (a
// walk makes one a folder); outside them each call starts a thread of its
// own. Nests. TimedCallsEnd joins the kept thread.
void TimedCallsBegin(void);
void TimedCallsEnd(void);

// Runs routine(work) on a thread with the caller's file-system redirection
// and waits for it kCallDeadlineMs at most. Answers 1 when it came back: the
// work is the caller's again, to read and free. Answers 0 when it did not:
// the work is the thread's from now on (released with release and freed when
// the call comes back) and the caller must not touch it. Where no thread can
// be had, the routine runs on the caller's thread (answers 1).
int CallInTime(TimedRoutine routine, TimedRelease release, void *work);

// CreateFileW in time: INVALID_HANDLE_VALUE with ERROR_TIMEOUT when the open
// missed the deadline (its handle is closed when it comes back), else what
// the open answered, with its error.
HANDLE CreateFileWInTime(const wchar_t *path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

// PathFindFirst (fileops/long_path.h) in time: INVALID_HANDLE_VALUE with
// ERROR_TIMEOUT when the listing missed the deadline (its search is closed
// when it comes back).
HANDLE PathFindFirstInTime(const char *pattern, WIN32_FIND_DATAA *entry, int *wide);

// FindFirstFileW in time, as PathFindFirstInTime.
HANDLE FindFirstFileWInTime(const wchar_t *pattern, WIN32_FIND_DATAW *entry);
