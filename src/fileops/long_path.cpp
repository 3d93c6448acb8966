#include "fileops/long_path.h"
#include "fileops/timed_call.h"
#include "base/console.h"
#include "sys/syscalls.h"

#include <errno.h>
#include <string.h>
#include <wchar.h>

int IsLongPath(const char *path)
{
    return strlen(path) >= MAX_PATH;
}

enum { kWidePathChars = 32768 };

size_t PathShownForm(const char *exact, char *shown, size_t size)
{
    size_t length = 0;
    for (const char *from = exact; *from != '\0';) {
        if (*from == kExactNameOpen) {
            while (*from != '\0' && *from != kExactNameClose)
                ++from;
            if (*from == kExactNameClose)
                ++from;
            continue;
        }
        size_t plain = strcspn(from, "\x01");
        length = ShowTextAt(from, plain, shown, size, length);
        from += plain;
    }
    if (size != 0)
        shown[length < size ? length : size - 1] = '\0';
    return length;
}

int PathHoldsMarks(const char *name)
{
    return strchr(name, kExactNameOpen) != nullptr || strchr(name, kExactNameClose) != nullptr;
}

int PathNameHoldsControls(const char *name)
{
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(name); *at != 0; ++at)
        if (*at < 0x20)
            return 1;
    return 0;
}

// A name that ends with a dot or a space ("w.exe.", a folder "dot."): the
// ANSI calls strip those from every name of a path and reach a twin, or
// nothing. ("." and ".." are no names here.)
static int HasNameTheCallsStrip(const char *path)
{
    const char *name = path;
    for (const char *at = path;; ++at) {
        if (*at != '\\' && *at != '\0')
            continue;
        size_t length = static_cast<size_t>(at - name);
        char last = length != 0 ? at[-1] : '\0';
        int dots = (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
        if ((last == '.' || last == ' ') && !dots)
            return 1;
        if (*at == '\0')
            return 0;
        name = at + 1;
    }
}

static int NeedsWideCall(const char *path)
{
    return IsLongPath(path) || strchr(path, kExactNameOpen) != nullptr || HasNameTheCallsStrip(path);
}

// Appends length bytes of text, converted from code page, at wide[*at].
static int AppendWide(UINT codePage, const char *text, size_t length, wchar_t *wide, size_t *at)
{
    if (length == 0)
        return 1;
    // A call with no room would only measure, writing nothing.
    if (length > kWidePathChars || *at + 1 >= kWidePathChars)
        return 0;
    int added = sys::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), wide + *at,
                                         static_cast<int>(kWidePathChars - 1 - *at));
    *at += static_cast<size_t>(added);
    return added != 0;
}

// "\\?\" and path in wide characters, in a heap buffer the caller frees; a
// path that is not a drive path or a UNC path is converted as it is. A marked
// name is converted from its exact form, and its shown form passed over.
// Null, with the last error set, when it cannot be had.
wchar_t *PathToWide(const char *path)
{
    wchar_t *wide = static_cast<wchar_t *>(sys::malloc(kWidePathChars * sizeof(wchar_t)));
    if (wide == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t at = 0;
    const char *rest = path;
    if (path[0] == '\\' && path[1] == '\\') {
        wcscpy(wide, L"\\\\?\\UNC\\");  // \\server\share\... becomes \\?\UNC\server\share\...
        at = 8;
        rest = path + 2;
    } else if (path[0] != '\0' && path[1] == ':' && path[2] == '\\') {
        wcscpy(wide, L"\\\\?\\");
        at = 4;
    }
    int converted = 1;
    while (converted && *rest != '\0') {
        const char *open = strchr(rest, kExactNameOpen);
        size_t plain = open != nullptr ? static_cast<size_t>(open - rest) : strlen(rest);
        converted = AppendWide(CP_ACP, rest, plain, wide, &at);
        if (!converted || open == nullptr)
            break;
        const char *close = strchr(open + 1, kExactNameClose);
        size_t nameStart = at;
        converted = close != nullptr && AppendWide(CP_UTF8, open + 1, static_cast<size_t>(close - open - 1), wide, &at);
        if (!converted)
            break;
        // The shown form is the exact one in the code page, byte for byte: a
        // mark no walk made (a name of its own holding the marks) would
        // otherwise reach one file and be logged as another.
        char expected[2 * MAX_PATH];
        int shown = sys::WideCharToMultiByte(CP_ACP, 0, wide + nameStart, static_cast<int>(at - nameStart), expected,
                                             sizeof expected, nullptr, nullptr);
        converted = shown > 0 && strncmp(close + 1, expected, static_cast<size_t>(shown)) == 0;
        rest = close + 1 + (converted ? shown : 0);
    }
    if (!converted) {
        sys::free(wide);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    wide[at] = L'\0';
    return wide;
}

HANDLE PathCreateFile(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    if (!NeedsWideCall(path))
        return sys::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    wchar_t *wide = PathToWide(path);
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
    if (!NeedsWideCall(path) && (newName == nullptr || !NeedsWideCall(newName)))
        return sys::MoveFileExA(path, newName, flags);
    wchar_t *wide = PathToWide(path);
    wchar_t *wideNew = nullptr;
    if (wide != nullptr && newName != nullptr)
        wideNew = PathToWide(newName);
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
    if (!NeedsWideCall(path))
        return sys::fopen(path, mode);
    wchar_t wideMode[8];
    if (sys::MultiByteToWideChar(CP_ACP, 0, mode, -1, wideMode, 8) == 0)
        return nullptr;
    wchar_t *wide = PathToWide(path);
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
    if (!NeedsWideCall(path))
        return sys::remove(path);
    wchar_t *wide = PathToWide(path);
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
    if (NeedsWideCall(path) && (wide = PathToWide(path)) == nullptr)
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
    *wide = NeedsWideCall(pattern);
    if (!*wide)
        return sys::FindFirstFileA(pattern, entry);
    wchar_t *widePattern = PathToWide(pattern);
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

// The shown form of a wide name, as the searches give it; 0 when it does not
// fit. Answers the length with the terminator.
static int ShownName(const wchar_t *name, char *shown, size_t size)
{
    return sys::WideCharToMultiByte(CP_ACP, 0, name, -1, shown, static_cast<int>(size), nullptr, nullptr);
}

static int SameTime(const FILETIME &a, const FILETIME &b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Everything of an entry that reading it leaves alone.
static int SameEntry(const WIN32_FIND_DATAW &wide, const WIN32_FIND_DATAA &entry)
{
    return wide.dwFileAttributes == entry.dwFileAttributes && wide.nFileSizeHigh == entry.nFileSizeHigh &&
           wide.nFileSizeLow == entry.nFileSizeLow && SameTime(wide.ftCreationTime, entry.ftCreationTime) &&
           SameTime(wide.ftLastWriteTime, entry.ftLastWriteTime);
}

int PathMarkName(const char *folderPath, const WIN32_FIND_DATAA *entry, char *name, size_t size)
{
    // The folder and the shown name with each '?' made '*': every entry the
    // name may stand for. ('?' is never the second byte of a double-byte
    // character.)
    size_t folderLength = strlen(folderPath), nameLength = strlen(entry->cFileName);
    char *pattern = static_cast<char *>(sys::malloc(folderLength + nameLength + 1));
    if (pattern == nullptr)
        return 0;
    memcpy(pattern, folderPath, folderLength);
    for (size_t i = 0; i <= nameLength; ++i)
        pattern[folderLength + i] = entry->cFileName[i] == '?' ? '*' : entry->cFileName[i];
    wchar_t *widePattern = PathToWide(pattern);
    sys::free(pattern);
    if (widePattern == nullptr)
        return 0;
    WIN32_FIND_DATAW found;
    HANDLE search = sys::FindFirstFileW(widePattern, &found);
    sys::free(widePattern);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int matches = 0;
    wchar_t exact[MAX_PATH];
    char shown[2 * MAX_PATH];
    do {
        found.cFileName[MAX_PATH - 1] = L'\0';
        if (SameEntry(found, *entry) && ShownName(found.cFileName, shown, sizeof shown) != 0 &&
            strcmp(shown, entry->cFileName) == 0 && ++matches == 1)
            wcscpy(exact, found.cFileName);
    } while (sys::FindNextFileW(search, &found));
    sys::FindClose(search);
    // A name holding the marks themselves would read as another marked name.
    if (matches != 1 || size < 3 || wcschr(exact, kExactNameOpen) != nullptr || wcschr(exact, kExactNameClose) != nullptr)
        return 0;

    name[0] = kExactNameOpen;
    int exactLength = sys::WideCharToMultiByte(CP_UTF8, 0, exact, -1, name + 1, static_cast<int>(size - 2),
                                               nullptr, nullptr);
    if (exactLength <= 1)
        return 0;
    size_t at = static_cast<size_t>(exactLength);  // past the UTF-8 form
    name[at++] = kExactNameClose;
    return ShownName(exact, name + at, size - at) != 0;
}

int PathFileIsThere(const char *path)
{
    // A search for the name itself answers for a file that cannot be opened
    // (held by another program, or access denied) as well.
    // One that does not answer in time may hold anything: it is there.
    WIN32_FIND_DATAA entry;
    int wide = 0;
    HANDLE search = PathFindFirstInTime(path, &entry, &wide);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_TIMEOUT;
    sys::FindClose(search);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
