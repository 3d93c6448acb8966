#include "detect/read_ahead.h"

#include "base/console.h"
#include "sys/syscalls.h"

#include <string.h>

// The queue's own lock, signals and waits go straight to the system, as the
// trace lock does: on the queue's own valid objects they cannot fail, and
// nothing could be done without them. What can fail (memory, events, thread
// starts) goes through the system-call table.

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
    CRITICAL_SECTION lock;  // guards the states, the counters and stopping
    HANDLE workWaiting;     // manual reset: set while an entry may be Queued
    HANDLE entryReady;      // auto reset: a reader finished an entry
    ReadAheadHandler handler;
    // Counters that only grow; an entry's slot is its counter modulo the
    // slot count. head: the oldest not yet handed over; tail: the next to
    // queue; claim: where readers look for work.
    unsigned head, tail, claim;
    int stopping;
    int readerCount;
    Entry entries[kReadAheadSlots];
    Reader readers[kMaxReaders];
};

static DWORD WINAPI ReadCandidates(void *parameter)
{
    Reader *reader = static_cast<Reader *>(parameter);
    ReadAhead *readAhead = reader->owner;
    for (;;) {
        EnterCriticalSection(&readAhead->lock);
        if (static_cast<int>(readAhead->head - readAhead->claim) > 0)
            readAhead->claim = readAhead->head;
        while (readAhead->claim != readAhead->tail &&
               readAhead->entries[readAhead->claim % kReadAheadSlots].state != Queued)
            ++readAhead->claim;
        if (readAhead->claim == readAhead->tail) {
            int stopping = readAhead->stopping;
            if (!stopping)
                ResetEvent(readAhead->workWaiting);
            LeaveCriticalSection(&readAhead->lock);
            if (stopping)
                return 0;
            WaitForSingleObject(readAhead->workWaiting, INFINITE);
            continue;
        }
        Entry *entry = &readAhead->entries[readAhead->claim++ % kReadAheadSlots];
        entry->state = Reading;
        LeaveCriticalSection(&readAhead->lock);

        FingerprintFile(entry->path, SignatureTable, reader->buffer, sizeof reader->buffer, &entry->fingerprint);

        EnterCriticalSection(&readAhead->lock);
        entry->state = Ready;
        LeaveCriticalSection(&readAhead->lock);
        SetEvent(readAhead->entryReady);
    }
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
    readAhead->workWaiting = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    readAhead->entryReady = sys::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readAhead->workWaiting != nullptr && readAhead->entryReady != nullptr) {
        InitializeCriticalSection(&readAhead->lock);
        for (int i = 0; i < wanted; ++i) {
            Reader *reader = &readAhead->readers[readAhead->readerCount];
            reader->owner = readAhead;
            DWORD threadId = 0;  // Windows 9x wants somewhere to put it
            reader->thread = sys::CreateThread(nullptr, 0, ReadCandidates, reader, 0, &threadId);
            if (reader->thread == nullptr)
                break;
            ++readAhead->readerCount;
        }
        if (readAhead->readerCount != 0)
            return readAhead;
        DeleteCriticalSection(&readAhead->lock);
    }
    if (readAhead->workWaiting != nullptr)
        sys::CloseHandle(readAhead->workWaiting);
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
    for (;;) {
        EnterCriticalSection(&readAhead->lock);
        int ready = readAhead->head != readAhead->tail && entry->state == Ready;
        int empty = readAhead->head == readAhead->tail;
        LeaveCriticalSection(&readAhead->lock);
        if (ready)
            break;
        if (empty || !wait)
            return 0;
        // Lines already said keep reaching the screen while the walk waits.
        ConsoleFlushDue();
        WaitForSingleObject(readAhead->entryReady, kConsoleBatchMilliseconds);
    }
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
    if (!isDirectory)
        SetEvent(readAhead->workWaiting);
    LeaveCriticalSection(&readAhead->lock);
    return 1;
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
    SetEvent(readAhead->workWaiting);
    LeaveCriticalSection(&readAhead->lock);
    for (int i = 0; i < readAhead->readerCount; ++i) {
        WaitForSingleObject(readAhead->readers[i].thread, INFINITE);
        sys::CloseHandle(readAhead->readers[i].thread);
    }
    DeleteCriticalSection(&readAhead->lock);
    sys::CloseHandle(readAhead->workWaiting);
    sys::CloseHandle(readAhead->entryReady);
    sys::free(readAhead);
}
