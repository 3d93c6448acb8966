#include "detect/read_ahead.h"

#include "base/console.h"
#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

// The queue's own lock, signals and waits go straight to the system, as the
// trace lock does (listed with their reason in sys/syscalls.h,
// VORNIK_DIRECT_CALLS): on the queue's own valid objects they cannot fail,
// and nothing could be done without them.

namespace {

enum EntryState { Queued, Reading, Ready };

struct Reader;

struct Entry {
    char *path;      // the exact form, then the shown form at path + shownAt (0: the same text)
    size_t shownAt;
    int kind;  // kEntryCandidate, kEntryFolder, kEntryNotOnDisk
    EntryState state;
    FingerprintResult fingerprint;
    Reader *reader;      // while Reading: who reads it
    DWORD readingSince;  // while Reading: when it was taken (tick count)
};

// What a reader's flag says of the candidate it reads: the walk may give up
// on it while it waits in the system; then the reader, when it comes back,
// owns the path and itself and touches nothing shared.
enum { kReaderReading = 0, kReaderGivenUp = 1, kReaderDone = 2 };

struct Reader {
    ReadAhead *owner;
    HANDLE thread;
    volatile LONG flag;
    unsigned char buffer[SignatureSpanLength];
};

// Both forms of path in one heap block: the exact form, then the shown form
// at *shownAt; a path with no marked name is one text (*shownAt 0). Null
// without memory.
char *CopyPath(ToolPath path, size_t *shownAt)
{
    *shownAt = 0;
    if (strcmp(path.exact, path.shown) == 0)
        return sys::strdup(path.exact);
    size_t exactLength = strlen(path.exact), shownLength = strlen(path.shown);
    char *copy = static_cast<char *>(sys::malloc(exactLength + shownLength + 2));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, path.exact, exactLength + 1);
    memcpy(copy + exactLength + 1, path.shown, shownLength + 1);
    *shownAt = exactLength + 1;
    return copy;
}

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
    int readerCount;    // readers that are not given up
    Entry entries[kReadAheadSlots];
    Reader *readers[kMaxReaders];  // null where one was given up and not replaced
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
        entry->reader = reader;
        entry->readingSince = sys::GetTickCount();
        char *path = entry->path;
        --readAhead->unclaimed;
        // More work than this reader takes: a second one may help.
        WakeReader(readAhead, 0);
        LeaveCriticalSection(&readAhead->lock);

        FingerprintResult fingerprint;
        FingerprintWormFile(path, SignatureTable, reader->buffer, sizeof reader->buffer, &fingerprint);
        if (InterlockedCompareExchange(&reader->flag, kReaderDone, kReaderReading) == kReaderGivenUp) {
            // The walk went on without this file; the run may have ended.
            sys::free(path);
            FileRedirectionBack(redirection);
            sys::free(reader);
            return 0;
        }

        EnterCriticalSection(&readAhead->lock);
        reader->flag = kReaderReading;
        entry->fingerprint = fingerprint;
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

// Starts a reader in slot; answers 1 when it runs.
static int StartReader(ReadAhead *readAhead, int slot)
{
    Reader *reader = static_cast<Reader *>(sys::malloc(sizeof(Reader)));
    if (reader == nullptr)
        return 0;
    reader->owner = readAhead;
    reader->flag = kReaderReading;
    DWORD threadId = 0;  // Windows 9x wants somewhere to put it
    reader->thread = sys::CreateThread(nullptr, 0, ReadCandidates, reader, 0, &threadId);
    if (reader->thread == nullptr) {
        sys::free(reader);
        return 0;
    }
    EnterCriticalSection(&readAhead->lock);
    readAhead->readers[slot] = reader;
    ++readAhead->readerCount;
    LeaveCriticalSection(&readAhead->lock);
    return 1;
}

// Under the lock, for the oldest entry, read for longer than the deadline:
// the walk goes on without it. Its reader is left behind in the system and
// owns the path from now on; another reader takes its slot once the lock is
// left (answered in *slot, or -1).
static void GiveUpOnEntry(ReadAhead *readAhead, Entry *entry, int *slot)
{
    *slot = -1;
    Reader *reader = entry->reader;
    // The reader keeps the path it reads; the walk names the file by a copy
    // (without one, it tries again on its next look).
    size_t shownAt = 0;
    char *copy = CopyPath(ToolPath{entry->path, entry->path + entry->shownAt}, &shownAt);
    if (copy == nullptr)
        return;
    if (InterlockedCompareExchange(&reader->flag, kReaderGivenUp, kReaderReading) != kReaderReading) {
        sys::free(copy);
        return;  // it has just come back: its result is on the way
    }
    entry->path = copy;
    entry->shownAt = shownAt;
    memset(&entry->fingerprint, 0, sizeof entry->fingerprint);
    entry->fingerprint.matchIndex = -1;
    entry->fingerprint.timedOut = 1;
    entry->state = Ready;
    for (int i = 0; i < kMaxReaders; ++i) {
        if (readAhead->readers[i] == reader) {
            readAhead->readers[i] = nullptr;
            *slot = i;
        }
    }
    --readAhead->readerCount;
    sys::CloseHandle(reader->thread);
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
            if (!StartReader(readAhead, i))
                break;
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

// Hands the oldest entry over when it is ready; with `wait`, waits for it,
// never longer than kReadDeadlineMs after a reader took it. Answers 1 when it
// was handed over.
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
        if (entry->state == Reading && sys::GetTickCount() - entry->readingSince >= kReadDeadlineMs) {
            int slot = -1;
            GiveUpOnEntry(readAhead, entry, &slot);
            if (slot >= 0) {
                LeaveCriticalSection(&readAhead->lock);
                StartReader(readAhead, slot);
                EnterCriticalSection(&readAhead->lock);
            }
            continue;
        }
        if (entry->state == Queued && readAhead->readerCount == 0) {
            // Every reader was left behind and none could replace them: the
            // walk reads the rest itself.
            entry->state = Reading;
            --readAhead->unclaimed;
            ++readAhead->claim;
            LeaveCriticalSection(&readAhead->lock);
            FingerprintWormFile(entry->path, SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer,
                                &entry->fingerprint);
            EnterCriticalSection(&readAhead->lock);
            entry->state = Ready;
            continue;
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

    readAhead->handler(ToolPath{entry->path, entry->path + entry->shownAt}, entry->kind,
                       entry->kind == kEntryCandidate ? &entry->fingerprint : nullptr);
    sys::free(entry->path);
    entry->path = nullptr;
    EnterCriticalSection(&readAhead->lock);
    ++readAhead->head;
    LeaveCriticalSection(&readAhead->lock);
    return 1;
}

int ReadAheadAdd(ReadAhead *readAhead, ToolPath path, int kind)
{
    while (HandOverOldest(readAhead, 0)) {
    }
    // What is not read, with nothing queued before it, needs no queue.
    if (kind != kEntryCandidate && readAhead->head == readAhead->tail) {
        readAhead->handler(path, kind, nullptr);
        return 1;
    }
    if (readAhead->tail - readAhead->head == kReadAheadSlots)
        HandOverOldest(readAhead, 1);

    size_t shownAt = 0;
    char *copy = CopyPath(path, &shownAt);
    if (copy == nullptr) {
        ReadAheadFinish(readAhead);
        return 0;
    }
    EnterCriticalSection(&readAhead->lock);
    Entry *entry = &readAhead->entries[readAhead->tail % kReadAheadSlots];
    entry->path = copy;
    entry->shownAt = shownAt;
    entry->kind = kind;
    entry->state = kind != kEntryCandidate ? Ready : Queued;
    ++readAhead->tail;
    if (kind == kEntryCandidate) {
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
    // Readers left behind in the system are not waited for: they own what
    // they still use and end on their own.
    for (int i = 0; i < kMaxReaders; ++i) {
        Reader *reader = readAhead->readers[i];
        if (reader == nullptr)
            continue;
        WaitForSingleObject(reader->thread, INFINITE);
        sys::CloseHandle(reader->thread);
        sys::free(reader);
    }
    DeleteCriticalSection(&readAhead->lock);
    sys::CloseHandle(readAhead->readerWake);
    sys::CloseHandle(readAhead->entryReady);
    sys::free(readAhead);
}

namespace {

// One read on a thread of its own; given up like a reader's.
struct TimedRead {
    volatile LONG flag;
    char *path;
    const SignatureEntry *table;
    FingerprintResult result;
    unsigned char buffer[SignatureSpanLength];
};

}  // namespace

static DWORD WINAPI ReadInTime(void *parameter)
{
    TimedRead *read = static_cast<TimedRead *>(parameter);
    FileRedirection redirection = FileRedirectionOff();
    FingerprintWormFile(read->path, read->table, read->buffer, sizeof read->buffer, &read->result);
    FileRedirectionBack(redirection);
    if (InterlockedCompareExchange(&read->flag, kReaderDone, kReaderReading) == kReaderGivenUp) {
        sys::free(read->path);
        sys::free(read);
    }
    return 0;
}

void FingerprintFileInTime(const char *path, const SignatureEntry *table, FingerprintResult *result)
{
    TimedRead *read = static_cast<TimedRead *>(sys::malloc(sizeof(TimedRead)));
    char *copy = read != nullptr ? sys::strdup(path) : nullptr;
    HANDLE thread = nullptr;
    if (copy != nullptr) {
        read->flag = kReaderReading;
        read->path = copy;
        read->table = table;
        DWORD threadId = 0;
        thread = sys::CreateThread(nullptr, 0, ReadInTime, read, 0, &threadId);
    }
    if (thread == nullptr) {
        sys::free(copy);
        sys::free(read);
        FingerprintWormFile(path, table, SignatureReadBuffer, sizeof SignatureReadBuffer, result);
        return;
    }
    // Waits on the read's own thread (they cannot fail), a few at a time, the
    // deadline told by the same clock as the walk's.
    DWORD started = sys::GetTickCount();
    DWORD wait;
    do
        wait = WaitForSingleObject(thread, kConsoleBatchMilliseconds);
    while (wait != WAIT_OBJECT_0 && sys::GetTickCount() - started < kReadDeadlineMs);
    if (wait != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&read->flag, kReaderGivenUp, kReaderReading) == kReaderReading) {
        sys::CloseHandle(thread);  // left behind: it frees the read when it comes back
        memset(result, 0, sizeof *result);
        result->matchIndex = -1;
        result->timedOut = 1;
        return;
    }
    WaitForSingleObject(thread, INFINITE);  // done, or just ending
    sys::CloseHandle(thread);
    *result = read->result;
    sys::free(read->path);
    sys::free(read);
}
