// The trace facility starts before main and shuts down at exit, so no caller
// opens or closes it.
#include "trace/trace_state.h"
#include "sys/syscalls.h"

#include <stdlib.h>

static void TraceShutdown(void)
{
    // Off first: a later TracePrint returns at once and never reaches the
    // deleted lock.
    g_trace.enabled = 0;
    if (--g_trace.useCount > 0)
        return;
    if (g_trace.output != nullptr) {
        sys::fflush(g_trace.output);
        sys::fclose(g_trace.output);
        g_trace.output = nullptr;
    }
    if (g_trace.lockReady) {
        DeleteCriticalSection(&g_trace.lock);
        g_trace.lockReady = 0;
    }
}

static void TraceStart(void)
{
    if (g_trace.useCount == 0 && !g_trace.lockReady) {
        InitializeCriticalSection(&g_trace.lock);
        g_trace.lockReady = 1;
    }
    ++g_trace.useCount;
    atexit(TraceShutdown);
}

namespace {
struct TraceStartup {
    TraceStartup() { TraceStart(); }
};
TraceStartup g_traceStartup;
}  // namespace
