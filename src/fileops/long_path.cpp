#include "fileops/long_path.h"
#include "sys/syscalls.h"

#include <errno.h>
#include <string.h>

int IsLongPath(const char *path)
{
    return strlen(path) >= MAX_PATH;
}

enum { kWidePathChars = 32768 };

// "\\?\" and path in wide characters, in a heap buffer the caller frees; a
// path that is not a drive path or a UNC path is converted as it is. Null,
// with the last error set, when it cannot be had.
static wchar_t *ToWidePath(const char *path)
{
    wchar_t *wide = static_cast<wchar_t *>(sys::malloc(kWidePathChars * sizeof(wchar_t)));
    if (wide == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t start = 0;
    const char *rest = path;
    if (path[0] == '\\' && path[1] == '\\') {
        wcscpy(wide, L"\\\\?\\UNC\\");  // \\server\share\... becomes \\?\UNC\server\share\...
        start = 8;
        rest = path + 2;
    } else if (path[0] != '\0' && path[1] == ':' && path[2] == '\\') {
        wcscpy(wide, L"\\\\?\\");
        start = 4;
    }
    if (sys::MultiByteToWideChar(CP_ACP, 0, rest, -1, wide + start, static_cast<int>(kWidePathChars - start)) == 0) {
        sys::free(wide);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return wide;
}

HANDLE PathCreateFile(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    if (!IsLongPath(path))
        return sys::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    wchar_t *wide = ToWidePath(path);
    if (wide == nullptr)
        return INVALID_HANDLE_VALUE;
    HANDLE file = sys::CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
    DWORD error = GetLastError();
    sys::free(wide);
    SetLastError(error);
    return file;
}

BOOL PathMoveFileEx(const char *path, const char *newName, DWORD flags)
{
    if (!IsLongPath(path) && (newName == nullptr || !IsLongPath(newName)))
        return sys::MoveFileExA(path, newName, flags);
    wchar_t *wide = ToWidePath(path);
    wchar_t *wideNew = nullptr;
    if (wide != nullptr && newName != nullptr)
        wideNew = ToWidePath(newName);
    BOOL moved = FALSE;
    if (wide != nullptr && (newName == nullptr || wideNew != nullptr))
        moved = sys::MoveFileExW(wide, wideNew, flags);
    DWORD error = GetLastError();
    sys::free(wideNew);
    sys::free(wide);
    SetLastError(error);
    return moved;
}

FILE *PathFopen(const char *path, const char *mode)
{
    if (!IsLongPath(path))
        return sys::fopen(path, mode);
    wchar_t wideMode[8];
    if (sys::MultiByteToWideChar(CP_ACP, 0, mode, -1, wideMode, 8) == 0)
        return nullptr;
    wchar_t *wide = ToWidePath(path);
    if (wide == nullptr) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    FILE *stream = sys::wfopen(wide, wideMode);
    sys::free(wide);
    return stream;
}

int PathRemove(const char *path)
{
    if (!IsLongPath(path))
        return sys::remove(path);
    wchar_t *wide = ToWidePath(path);
    if (wide == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int result = sys::wremove(wide);
    int error = errno;
    sys::free(wide);
    errno = error;
    return result;
}

int PathClearHoldingAttributes(const char *path)
{
    const DWORD holding = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    wchar_t *wide = nullptr;
    if (IsLongPath(path) && (wide = ToWidePath(path)) == nullptr)
        return -1;
    DWORD attributes = wide != nullptr ? sys::GetFileAttributesW(wide) : sys::GetFileAttributesA(path);
    int result = 0;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        result = -1;
    } else if (attributes & holding) {
        DWORD left = attributes & ~holding;
        if (left == 0)
            left = FILE_ATTRIBUTE_NORMAL;
        BOOL cleared = wide != nullptr ? sys::SetFileAttributesW(wide, left) : sys::SetFileAttributesA(path, left);
        result = cleared ? 1 : -1;
    }
    sys::free(wide);
    return result;
}

// The ANSI form of a wide entry: a character the code page cannot hold comes
// out as '?', as the ANSI search gives it, and the 8.3 alias stands beside it.
// Answers 0 when the name cannot be had in the ANSI form at all: an entry
// without a name cannot be examined, and must not pass for nothing.
static int ToAnsiEntry(const WIN32_FIND_DATAW &wide, WIN32_FIND_DATAA *entry)
{
    memset(entry, 0, sizeof *entry);
    entry->dwFileAttributes = wide.dwFileAttributes;
    entry->ftCreationTime = wide.ftCreationTime;
    entry->ftLastAccessTime = wide.ftLastAccessTime;
    entry->ftLastWriteTime = wide.ftLastWriteTime;
    entry->nFileSizeHigh = wide.nFileSizeHigh;
    entry->nFileSizeLow = wide.nFileSizeLow;
    int named = sys::WideCharToMultiByte(CP_ACP, 0, wide.cFileName, -1, entry->cFileName, sizeof entry->cFileName,
                                         nullptr, nullptr);
    sys::WideCharToMultiByte(CP_ACP, 0, wide.cAlternateFileName, -1, entry->cAlternateFileName,
                             sizeof entry->cAlternateFileName, nullptr, nullptr);
    entry->cFileName[sizeof entry->cFileName - 1] = '\0';
    entry->cAlternateFileName[sizeof entry->cAlternateFileName - 1] = '\0';
    if (named == 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return 1;
}

HANDLE PathFindFirst(const char *pattern, WIN32_FIND_DATAA *entry, int *wide)
{
    *wide = IsLongPath(pattern);
    if (!*wide)
        return sys::FindFirstFileA(pattern, entry);
    wchar_t *widePattern = ToWidePath(pattern);
    if (widePattern == nullptr)
        return INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW wideEntry;
    HANDLE search = sys::FindFirstFileW(widePattern, &wideEntry);
    sys::free(widePattern);
    if (search != INVALID_HANDLE_VALUE && !ToAnsiEntry(wideEntry, entry)) {
        sys::FindClose(search);
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL PathFindNext(HANDLE search, int wide, WIN32_FIND_DATAA *entry)
{
    if (!wide)
        return sys::FindNextFileA(search, entry);
    WIN32_FIND_DATAW wideEntry;
    if (!sys::FindNextFileW(search, &wideEntry))
        return FALSE;
    return ToAnsiEntry(wideEntry, entry) ? TRUE : FALSE;
}

int PathFileIsThere(const char *path)
{
    // A search for the name itself answers for a file that cannot be opened
    // (held by another program, or access denied) as well.
    WIN32_FIND_DATAA entry;
    int wide = 0;
    HANDLE search = PathFindFirst(path, &entry, &wide);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    sys::FindClose(search);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
