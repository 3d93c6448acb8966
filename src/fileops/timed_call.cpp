#include "fileops/timed_call.h"
#include "base/platform.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"

#include <string.h>
#include <wchar.h>

// The handover's signals, waits and yields go straight to the system, as the
// read-ahead queue's do (VORNIK_DIRECT_CALLS): on the thread's own valid
// objects they cannot fail. What can fail (memory, the events, the thread's
// start) goes through the table, and then the call is made on the caller's
// thread, as it always was.

namespace {

// What the caller's flag says of the call handed over: the caller may give up
// on it while it waits in the system; then the thread, when the call comes
// back, owns the work and itself and touches nothing shared.
enum { kCallIdle = 0, kCallBusy = 1, kCallGivenUp = 2 };

struct TimedWorker {
    HANDLE thread;
    HANDLE wake;  // auto reset: a call is handed over, or stop is set
    HANDLE done;  // auto reset: the call came back
    volatile LONG state;
    int stop;
    int redirectionOff;
    TimedRoutine routine;
    TimedRelease release;
    void *work;
};

// How often the caller looks at the clock while it waits, and how many times
// it yields first before it waits.
enum { kLookMs = 50, kSpinLooks = 200 };

TimedWorker *g_kept;  // the thread kept between TimedCallsBegin and End
int g_keptDepth;

}  // namespace

static void FreeWorker(TimedWorker *worker)
{
    sys::CloseHandle(worker->wake);
    sys::CloseHandle(worker->done);
    sys::free(worker);
}

static DWORD WINAPI MakeCalls(void *parameter)
{
    TimedWorker *worker = static_cast<TimedWorker *>(parameter);
    for (;;) {
        WaitForSingleObject(worker->wake, INFINITE);
        if (worker->stop)
            return 0;
        FileRedirection redirection = {0, nullptr};
        if (worker->redirectionOff)
            redirection = FileRedirectionOff();
        worker->routine(worker->work);
        FileRedirectionBack(redirection);
        if (InterlockedCompareExchange(&worker->state, kCallIdle, kCallBusy) == kCallGivenUp) {
            // The run went on without this call, and may have ended.
            if (worker->release != nullptr)
                worker->release(worker->work);
            sys::free(worker->work);
            FreeWorker(worker);
            return 0;
        }
        SetEvent(worker->done);
    }
}

// Null, having kept nothing, when a thread cannot be had.
static TimedWorker *StartWorker(void)
{
    TimedWorker *worker = static_cast<TimedWorker *>(sys::malloc(sizeof(TimedWorker)));
    if (worker == nullptr)
        return nullptr;
    memset(worker, 0, sizeof *worker);
    worker->wake = sys::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    worker->done = sys::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (worker->wake != nullptr && worker->done != nullptr) {
        DWORD threadId = 0;  // Windows 9x wants somewhere to put it
        worker->thread = sys::CreateThread(nullptr, 0, MakeCalls, worker, 0, &threadId);
        if (worker->thread != nullptr)
            return worker;
    }
    if (worker->wake != nullptr)
        sys::CloseHandle(worker->wake);
    if (worker->done != nullptr)
        sys::CloseHandle(worker->done);
    sys::free(worker);
    return nullptr;
}

// Ends and joins an idle thread: it waits for nothing but the signal.
static void StopWorker(TimedWorker *worker)
{
    worker->stop = 1;
    SetEvent(worker->wake);
    WaitForSingleObject(worker->thread, INFINITE);
    sys::CloseHandle(worker->thread);
    FreeWorker(worker);
}

void TimedCallsBegin(void) { ++g_keptDepth; }

void TimedCallsEnd(void)
{
    if (--g_keptDepth > 0 || g_kept == nullptr)
        return;
    StopWorker(g_kept);
    g_kept = nullptr;
}

int CallInTime(TimedRoutine routine, TimedRelease release, void *work)
{
    TimedWorker *worker = g_kept;
    if (worker == nullptr) {
        worker = StartWorker();
        if (worker == nullptr) {
            routine(work);
            return 1;
        }
        if (g_keptDepth > 0)
            g_kept = worker;
    }
    worker->routine = routine;
    worker->release = release;
    worker->work = work;
    worker->redirectionOff = FileRedirectionIsOff();
    worker->state = kCallBusy;
    SetEvent(worker->wake);
    // Nearly every call comes back within a fraction of a millisecond: the
    // caller looks for that first, without going to sleep in the system.
    for (int look = 0; look < kSpinLooks && worker->state == kCallBusy; ++look)
        SwitchToThread();
    DWORD started = sys::GetTickCount();
    DWORD wait;
    do
        wait = WaitForSingleObject(worker->done, kLookMs);
    while (wait != WAIT_OBJECT_0 && sys::GetTickCount() - started < kCallDeadlineMs);
    if (wait != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&worker->state, kCallGivenUp, kCallBusy) == kCallBusy) {
        // Left behind: it frees the work and itself when the call comes back;
        // the next call gets a thread of its own.
        sys::CloseHandle(worker->thread);
        if (g_kept == worker)
            g_kept = nullptr;
        return 0;
    }
    if (wait != WAIT_OBJECT_0)
        WaitForSingleObject(worker->done, INFINITE);  // it has just come back
    if (g_kept != worker)
        StopWorker(worker);
    return 1;
}

namespace {

struct TimedOpen {
    HANDLE handle;
    DWORD error;
    DWORD access, share, disposition, flags;
    wchar_t path[1];  // and the rest of the block
};

}  // namespace

static void OpenNow(void *work)
{
    TimedOpen *open = static_cast<TimedOpen *>(work);
    open->handle = sys::CreateFileW(open->path, open->access, open->share, nullptr, open->disposition, open->flags,
                                    nullptr);
    open->error = GetLastError();
}

static void CloseLateOpen(void *work)
{
    TimedOpen *open = static_cast<TimedOpen *>(work);
    if (open->handle != INVALID_HANDLE_VALUE)
        sys::CloseHandle(open->handle);
}

HANDLE CreateFileWInTime(const wchar_t *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    size_t length = wcslen(path);
    TimedOpen *open = static_cast<TimedOpen *>(sys::malloc(sizeof(TimedOpen) + length * sizeof(wchar_t)));
    if (open == nullptr)
        return sys::CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    open->handle = INVALID_HANDLE_VALUE;
    open->error = 0;
    open->access = access;
    open->share = share;
    open->disposition = disposition;
    open->flags = flags;
    memcpy(open->path, path, (length + 1) * sizeof(wchar_t));
    if (!CallInTime(OpenNow, CloseLateOpen, open)) {
        SetLastError(ERROR_TIMEOUT);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = open->handle;
    DWORD error = open->error;
    sys::free(open);
    SetLastError(error);
    return handle;
}

namespace {

struct TimedSearch {
    HANDLE search;
    DWORD error;
    int wide;
    WIN32_FIND_DATAA entry;
    char pattern[1];  // and the rest of the block
};

}  // namespace

static void FindNow(void *work)
{
    TimedSearch *find = static_cast<TimedSearch *>(work);
    find->search = PathFindFirst(find->pattern, &find->entry, &find->wide);
    find->error = GetLastError();
}

static void CloseLateSearch(void *work)
{
    TimedSearch *find = static_cast<TimedSearch *>(work);
    if (find->search != INVALID_HANDLE_VALUE)
        sys::FindClose(find->search);
}

HANDLE PathFindFirstInTime(const char *pattern, WIN32_FIND_DATAA *entry, int *wide)
{
    size_t size = strlen(pattern) + 1;
    TimedSearch *find = static_cast<TimedSearch *>(sys::malloc(sizeof(TimedSearch) + size));
    if (find == nullptr)
        return PathFindFirst(pattern, entry, wide);
    find->search = INVALID_HANDLE_VALUE;
    find->error = 0;
    find->wide = 0;
    memcpy(find->pattern, pattern, size);
    if (!CallInTime(FindNow, CloseLateSearch, find)) {
        *wide = 0;
        SetLastError(ERROR_TIMEOUT);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = find->search;
    *wide = find->wide;
    if (search != INVALID_HANDLE_VALUE)
        *entry = find->entry;
    DWORD error = find->error;
    sys::free(find);
    SetLastError(error);
    return search;
}

namespace {

struct TimedWideSearch {
    HANDLE search;
    DWORD error;
    WIN32_FIND_DATAW entry;
    wchar_t pattern[1];  // and the rest of the block
};

}  // namespace

static void FindWideNow(void *work)
{
    TimedWideSearch *find = static_cast<TimedWideSearch *>(work);
    find->search = sys::FindFirstFileW(find->pattern, &find->entry);
    find->error = GetLastError();
}

static void CloseLateWideSearch(void *work)
{
    TimedWideSearch *find = static_cast<TimedWideSearch *>(work);
    if (find->search != INVALID_HANDLE_VALUE)
        sys::FindClose(find->search);
}

HANDLE FindFirstFileWInTime(const wchar_t *pattern, WIN32_FIND_DATAW *entry)
{
    size_t size = (wcslen(pattern) + 1) * sizeof(wchar_t);
    TimedWideSearch *find = static_cast<TimedWideSearch *>(sys::malloc(sizeof(TimedWideSearch) + size));
    if (find == nullptr)
        return sys::FindFirstFileW(pattern, entry);
    find->search = INVALID_HANDLE_VALUE;
    find->error = 0;
    memcpy(find->pattern, pattern, size);
    if (!CallInTime(FindWideNow, CloseLateWideSearch, find)) {
        SetLastError(ERROR_TIMEOUT);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = find->search;
    if (search != INVALID_HANDLE_VALUE)
        *entry = find->entry;
    DWORD error = find->error;
    sys::free(find);
    SetLastError(error);
    return search;
}
