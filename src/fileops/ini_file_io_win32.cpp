// The INI file model's runtime calls in the Windows build: through the
// system-call table, so a test that swaps sys::malloc or sys::fopen reaches
// the model too.
#include "fileops/ini_file_io.h"
#include "sys/syscalls.h"

static void *Allocate(size_t size)
{
    return sys::malloc(size);
}

static void Release(void *block)
{
    sys::free(block);
}

static FILE *Open(const char *path, const char *mode)
{
    return sys::fopen(path, mode);
}

static int ReadLine(char *buffer, int size, FILE *stream)
{
    if (sys::fgets(buffer, size, stream) != nullptr)
        return 1;
    return sys::ferror(stream) ? -1 : 0;
}

static int Write(const char *text, FILE *stream)
{
    return sys::fputs(text, stream) >= 0;
}

static int Close(FILE *stream)
{
    return sys::fclose(stream) == 0;
}

IniFileIo g_iniFileIo = {Allocate, Release, Open, ReadLine, Write, Close};
