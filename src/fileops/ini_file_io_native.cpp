// The INI file model's runtime calls in the native build: the C runtime itself.
#include "fileops/ini_file_io.h"

#include <stdlib.h>

static void *Allocate(size_t size)
{
    return malloc(size);
}

static void Release(void *block)
{
    free(block);
}

static FILE *Open(const char *path, const char *mode)
{
    return fopen(path, mode);
}

static int ReadLine(char *buffer, int size, FILE *stream)
{
    if (fgets(buffer, size, stream) != nullptr)
        return 1;
    return ferror(stream) ? -1 : 0;
}

static int Write(const char *text, FILE *stream)
{
    return fputs(text, stream) >= 0;
}

static int Close(FILE *stream)
{
    return fclose(stream) == 0;
}

IniFileIo g_iniFileIo = {Allocate, Release, Open, ReadLine, Write, Close};
