#include "test_support.h"

#include "trace/trace.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

static std::string TempFileName(const char *prefix)
{
    char folder[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, prefix, 0, name);
    return name;
}

CapturedStdout::CapturedStdout() : path_(TempFileName("out"))
{
    fflush(stdout);
    savedFd_ = _dup(_fileno(stdout));
    int fd = _open(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, _fileno(stdout));
    _close(fd);
}

CapturedStdout::~CapturedStdout()
{
    fflush(stdout);
    _dup2(savedFd_, _fileno(stdout));
    _close(savedFd_);
    DeleteFileA(path_.c_str());
}

std::string CapturedStdout::Text()
{
    fflush(stdout);
    return ReadWholeFile(path_);
}

ScratchFolder::ScratchFolder()
{
    path_ = TempFileName("vtk");
    DeleteFileA(path_.c_str());
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name != "." && name != "..") {
                SetFileAttributesA(File(name.c_str()).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(File(name.c_str()).c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

std::string ReadWholeFile(const std::string &path, bool *exists)
{
    std::string bytes;
    FILE *stream = fopen(path.c_str(), "rb");
    if (exists != nullptr)
        *exists = stream != nullptr;
    if (stream == nullptr)
        return bytes;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, stream)) > 0)
        bytes.append(chunk, got);
    fclose(stream);
    return bytes;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DetachTraceFile()
{
    // An empty name resolves to the executable's folder, which never opens as
    // a file: the previous file is closed and none is open afterwards.
    TraceSetOutputFile("", "a+");
}
