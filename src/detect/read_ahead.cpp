#include "detect/read_ahead.h"

#include "base/console.h"
#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

// The queue's own lock, signals and waits go straight to the system, as the
// trace lock does: on the queue's own valid objects they cannot fail, and
// nothing could be done without them. What can fail (memory, the semaphore
// and event, thread starts) goes through the system-call table.

namespace {

enum EntryState { Queued, Reading, Ready };

struct Entry {
    char *path;
    int isDirectory;
    EntryState state;
    FingerprintResult fingerprint;
};

struct Reader {
    ReadAhead *owner;
    HANDLE thread;
    unsigned char buffer[SignatureSpanLength];
};

}  // namespace

struct ReadAhead {
    CRITICAL_SECTION lock;  // guards everything below but the entries' paths
    HANDLE readerWake;      // semaphore: one release wakes one idle reader
    HANDLE entryReady;      // auto reset: the oldest entry may be ready
    ReadAheadHandler handler;
    // Counters that only grow; an entry's slot is its counter modulo the
    // slot count. head: the oldest not yet handed over; tail: the next to
    // queue; claim: where readers look for work.
    unsigned head, tail, claim;
    int unclaimed;      // candidates queued that no reader has taken
    int idleReaders;    // readers asleep on readerWake, not yet released
    int walkWaiting;    // the walk sleeps on entryReady
    int stopping;
    int readerCount;
    Entry entries[kReadAheadSlots];
    Reader readers[kMaxReaders];
};

// Every wake-up and signal is a trip to the system (under Wine, to its
// server, which the walk's own calls queue behind), so readers are woken a
// few candidates at a time and the walk is signalled only while it waits.
// A further reader is woken only when the busy ones fall behind: a reader
// that is not needed takes processor time from the walk, which everything
// waits for.
enum { kWakeBatch = 4 };

// Under the lock: wakes one idle reader when the candidates nobody has taken
// are more than the busy readers keep up with, or whenever there is one
// with `now`.
static void WakeReader(ReadAhead *readAhead, int now)
{
    int busy = readAhead->readerCount - readAhead->idleReaders;
    if (readAhead->idleReaders > 0 && readAhead->unclaimed >= (now ? 1 : kWakeBatch * (busy + 1))) {
        --readAhead->idleReaders;
        ReleaseSemaphore(readAhead->readerWake, 1, nullptr);
    }
}

// A reader's file calls see the system's per-thread state of its own thread:
// whatever the walk's thread sets up for its file calls (file-system
// redirection off under WOW64), a reader sets up here for itself.
static DWORD WINAPI ReadCandidates(void *parameter)
{
    Reader *reader = static_cast<Reader *>(parameter);
    ReadAhead *readAhead = reader->owner;
    FileRedirection redirection = FileRedirectionOff();
    EnterCriticalSection(&readAhead->lock);
    for (;;) {
        if (readAhead->unclaimed == 0) {
            if (readAhead->stopping)
                break;
            ++readAhead->idleReaders;
            LeaveCriticalSection(&readAhead->lock);
            WaitForSingleObject(readAhead->readerWake, INFINITE);
            EnterCriticalSection(&readAhead->lock);
            continue;
        }
        if (static_cast<int>(readAhead->head - readAhead->claim) > 0)
            readAhead->claim = readAhead->head;
        while (readAhead->entries[readAhead->claim % kReadAheadSlots].state != Queued)
            ++readAhead->claim;
        Entry *entry = &readAhead->entries[readAhead->claim++ % kReadAheadSlots];
        entry->state = Reading;
        --readAhead->unclaimed;
        // More work than this reader takes: a second one may help.
        WakeReader(readAhead, 0);
        LeaveCriticalSection(&readAhead->lock);

        FingerprintFile(entry->path, SignatureTable, reader->buffer, sizeof reader->buffer, &entry->fingerprint);

        EnterCriticalSection(&readAhead->lock);
        entry->state = Ready;
        if (readAhead->walkWaiting) {
            readAhead->walkWaiting = 0;
            SetEvent(readAhead->entryReady);
        }
    }
    LeaveCriticalSection(&readAhead->lock);
    FileRedirectionBack(redirection);
    return 0;
}

ReadAhead *ReadAheadStart(ReadAheadHandler handler)
{
    SYSTEM_INFO system;
    memset(&system, 0, sizeof system);
    sys::GetSystemInfo(&system);
    int wanted = static_cast<int>(system.dwNumberOfProcessors);
    if (wanted < 1)
        wanted = 1;
    if (wanted > kMaxReaders)
        wanted = kMaxReaders;

    ReadAhead *readAhead = static_cast<ReadAhead *>(sys::malloc(sizeof(ReadAhead)));
    if (readAhead == nullptr)
        return nullptr;
    memset(readAhead, 0, sizeof *readAhead);
    readAhead->handler = handler;
    readAhead->readerWake = sys::CreateSemaphoreA(nullptr, 0, kMaxReaders, nullptr);
    readAhead->entryReady = sys::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readAhead->readerWake != nullptr && readAhead->entryReady != nullptr) {
        InitializeCriticalSection(&readAhead->lock);
        for (int i = 0; i < wanted; ++i) {
            Reader *reader = &readAhead->readers[readAhead->readerCount];
            reader->owner = readAhead;
            DWORD threadId = 0;  // Windows 9x wants somewhere to put it
            reader->thread = sys::CreateThread(nullptr, 0, ReadCandidates, reader, 0, &threadId);
            if (reader->thread == nullptr)
                break;
            EnterCriticalSection(&readAhead->lock);
            ++readAhead->readerCount;
            LeaveCriticalSection(&readAhead->lock);
        }
        if (readAhead->readerCount != 0)
            return readAhead;
        DeleteCriticalSection(&readAhead->lock);
    }
    if (readAhead->readerWake != nullptr)
        sys::CloseHandle(readAhead->readerWake);
    if (readAhead->entryReady != nullptr)
        sys::CloseHandle(readAhead->entryReady);
    sys::free(readAhead);
    return nullptr;
}

// Hands the oldest entry over when it is ready; with `wait`, waits for it.
// Answers 1 when it was handed over.
static int HandOverOldest(ReadAhead *readAhead, int wait)
{
    Entry *entry = &readAhead->entries[readAhead->head % kReadAheadSlots];
    EnterCriticalSection(&readAhead->lock);
    for (;;) {
        if (readAhead->head == readAhead->tail) {
            LeaveCriticalSection(&readAhead->lock);
            return 0;
        }
        if (entry->state == Ready)
            break;
        if (!wait) {
            LeaveCriticalSection(&readAhead->lock);
            return 0;
        }
        // The walk needs it now: no reader may sleep on queued work.
        while (readAhead->idleReaders > 0 && readAhead->unclaimed > 0)
            WakeReader(readAhead, 1);
        readAhead->walkWaiting = 1;
        LeaveCriticalSection(&readAhead->lock);
        // Lines already said keep reaching the screen while the walk waits.
        ConsoleFlushDue();
        WaitForSingleObject(readAhead->entryReady, kConsoleBatchMilliseconds);
        EnterCriticalSection(&readAhead->lock);
    }
    LeaveCriticalSection(&readAhead->lock);

    readAhead->handler(entry->path, entry->isDirectory, entry->isDirectory ? nullptr : &entry->fingerprint);
    sys::free(entry->path);
    entry->path = nullptr;
    EnterCriticalSection(&readAhead->lock);
    ++readAhead->head;
    LeaveCriticalSection(&readAhead->lock);
    return 1;
}

int ReadAheadAdd(ReadAhead *readAhead, const char *path, int isDirectory)
{
    while (HandOverOldest(readAhead, 0)) {
    }
    // A folder with nothing queued before it needs no queue.
    if (isDirectory && readAhead->head == readAhead->tail) {
        readAhead->handler(path, 1, nullptr);
        return 1;
    }
    if (readAhead->tail - readAhead->head == kReadAheadSlots)
        HandOverOldest(readAhead, 1);

    char *copy = sys::strdup(path);
    if (copy == nullptr) {
        ReadAheadFinish(readAhead);
        return 0;
    }
    EnterCriticalSection(&readAhead->lock);
    Entry *entry = &readAhead->entries[readAhead->tail % kReadAheadSlots];
    entry->path = copy;
    entry->isDirectory = isDirectory;
    entry->state = isDirectory ? Ready : Queued;
    ++readAhead->tail;
    if (!isDirectory) {
        ++readAhead->unclaimed;
        // A queue half full of waiting entries holds folder lines back.
        WakeReader(readAhead, readAhead->tail - readAhead->head >= kReadAheadSlots / 2);
    }
    LeaveCriticalSection(&readAhead->lock);
    return 1;
}

void ReadAheadKeepMoving(ReadAhead *readAhead)
{
    while (HandOverOldest(readAhead, 0)) {
    }
    EnterCriticalSection(&readAhead->lock);
    WakeReader(readAhead, 1);
    LeaveCriticalSection(&readAhead->lock);
}

void ReadAheadFinish(ReadAhead *readAhead)
{
    while (HandOverOldest(readAhead, 1)) {
    }
}

void ReadAheadStop(ReadAhead *readAhead)
{
    ReadAheadFinish(readAhead);
    EnterCriticalSection(&readAhead->lock);
    readAhead->stopping = 1;
    if (readAhead->idleReaders > 0)
        ReleaseSemaphore(readAhead->readerWake, readAhead->idleReaders, nullptr);
    readAhead->idleReaders = 0;
    LeaveCriticalSection(&readAhead->lock);
    for (int i = 0; i < readAhead->readerCount; ++i) {
        WaitForSingleObject(readAhead->readers[i].thread, INFINITE);
        sys::CloseHandle(readAhead->readers[i].thread);
    }
    DeleteCriticalSection(&readAhead->lock);
    sys::CloseHandle(readAhead->readerWake);
    sys::CloseHandle(readAhead->entryReady);
    sys::free(readAhead);
}
