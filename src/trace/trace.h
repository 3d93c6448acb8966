// The trace log: every log line of the tool passes through TracePrint.
#pragma once

#include <stddef.h>

// Module name that every call site passes.
extern const char TraceModuleName[];

// Formats one message (at most 1024 characters, the rest dropped) and writes it
// unchanged to the output file, or to the debugger output while none is open.
// Nothing is written when the facility is off, when mask shares no bit with
// the category mask, or when level is above the level threshold (255).
void TracePrint(const char *module, unsigned mask, int level, const char *format, ...)
    __attribute__((format(gnu_printf, 4, 5)));

// Chooses the output file by name and stdio mode. The same name keeps the open
// file; another name closes it first. A bare file name lands in the folder of
// the executable. A failed open leaves no output file (debugger output).
void TraceSetOutputFile(const char *path, const char *mode);
