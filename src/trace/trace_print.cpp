#include "trace/trace.h"
#include "trace/trace_state.h"
#include "sys/syscalls.h"

#include <stdarg.h>
#include <string.h>

const char TraceModuleName[] = "";

TraceState g_trace = {
    1,           // enabled
    0xFFFFFFFFu, // every category
    255,         // level threshold
    {0},
    nullptr,
    {0},
    {},
    0,
    0,
};

void TracePrint(const char *module, unsigned mask, int level, const char *format, ...)
{
    (void)module;  // the name does not change what is written
    if (!g_trace.enabled)
        return;
    if ((mask & g_trace.categoryMask) == 0)
        return;
    if (level > g_trace.levelThreshold)
        return;

    if (!g_trace.lockReady) {
        InitializeCriticalSection(&g_trace.lock);
        g_trace.lockReady = 1;
    }
    EnterCriticalSection(&g_trace.lock);

    va_list args;
    va_start(args, format);
    // vsnprintf cuts at the buffer and always terminates: text past 1024
    // characters is dropped without a mark.
    vsnprintf(g_trace.line, sizeof g_trace.line, format, args);
    va_end(args);

    if (g_trace.output != nullptr) {
        // Flushed at once so the log is complete even if the process is killed.
        // A line the file refuses goes to the debugger output instead of
        // being lost.
        if (sys::fputs(g_trace.line, g_trace.output) < 0)
            sys::OutputDebugStringA(g_trace.line);
        sys::fflush(g_trace.output);
    } else {
        sys::OutputDebugStringA(g_trace.line);
    }

    LeaveCriticalSection(&g_trace.lock);
}
