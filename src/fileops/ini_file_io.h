// The C runtime as the INI file model uses it: one typed pointer a call. The
// Windows build points them through the tool's system-call table
// (ini_file_io_win32.cpp), the native build straight at the C runtime
// (ini_file_io_native.cpp). A test may swap a row and puts it back after.
#pragma once

#include <stddef.h>
#include <stdio.h>

struct IniFileIo {
    void *(*allocate)(size_t size);                         // null when memory runs out
    void (*release)(void *block);                           // a null block is ignored
    FILE *(*open)(const char *path, const char *mode);      // null when it cannot be opened
    int (*readLine)(char *buffer, int size, FILE *stream);  // as fgets: 1 read, 0 end of file, -1 read error
    int (*write)(const char *text, FILE *stream);           // 1 written, 0 failed
    int (*close)(FILE *stream);                             // 1 flushed and closed, 0 failed (closed anyway)
};

extern IniFileIo g_iniFileIo;
