#include "trace/trace.h"
#include "trace/trace_state.h"
#include "sys/syscalls.h"

#include <string.h>

// Answers the last path separator of text (after the drive), or null. Walks by
// character so a trail byte of a double-byte character is never taken for a
// backslash.
static const char *FindLastSeparator(const char *text)
{
    const char *last = nullptr;
    for (const char *p = text; *p != '\0'; ++p) {
        if (sys::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
            ++p;
            continue;
        }
        if (*p == '\\' || *p == '/')
            last = p;
    }
    return last;
}

// A name with neither a drive nor a directory part.
static int IsBareName(const char *path)
{
    int hasDrive = path[0] != '\0' && path[1] == ':' && !sys::IsDBCSLeadByte(static_cast<BYTE>(path[0]));
    return !hasDrive && FindLastSeparator(path) == nullptr;
}

// Fills resolved (kTraceNameSize bytes) with the name to open: a bare name goes
// into the executable's folder. Answers 0 when the result would not fit, so a
// cut name never opens some other file.
static int ResolveTraceFileName(const char *path, char *resolved)
{
    size_t pathLength = strlen(path);
    if (!IsBareName(path)) {
        if (pathLength >= kTraceNameSize)
            return 0;
        memcpy(resolved, path, pathLength + 1);
        return 1;
    }

    char exePath[MAX_PATH];
    DWORD length = sys::GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    if (length == 0 || length >= sizeof exePath)
        return 0;  // failed, or the executable's path was cut
    exePath[length] = '\0';

    const char *separator = FindLastSeparator(exePath);
    size_t folderLength = separator != nullptr ? static_cast<size_t>(separator - exePath) + 1 : 0;
    if (folderLength + pathLength >= kTraceNameSize)
        return 0;
    memcpy(resolved, exePath, folderLength);
    memcpy(resolved + folderLength, path, pathLength + 1);
    return 1;
}

void TraceSetOutputFile(const char *path, const char *mode)
{
    if (path == nullptr || mode == nullptr)
        return;
    if (g_trace.output != nullptr) {
        if (strcmp(path, g_trace.currentName) == 0)
            return;  // same name: keep the open file, whatever the mode
        sys::fclose(g_trace.output);
        g_trace.output = nullptr;
        g_trace.currentName[0] = '\0';
    }

    char resolved[kTraceNameSize];
    if (strlen(path) >= kTraceNameSize || !ResolveTraceFileName(path, resolved))
        return;  // refused like a failed open: lines go to the debugger output

    FILE *stream = sys::fopen(resolved, mode);
    if (stream == nullptr)
        return;
    g_trace.output = stream;
    strcpy(g_trace.currentName, path);  // fits: checked above
}
