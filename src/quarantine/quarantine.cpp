#include "quarantine/quarantine.h"
#include "base/console.h"
#include "base/platform.h"
#include "quarantine/file_digest.h"
#include "fileops/held_file.h"
#include "fileops/timed_call.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The first line of every entry; a later form of the record gets another.
static const char kRecordMark[] = "T-Vornik quarantine entry 1";
static const char kEntryExtension[] = ".vq";
static const char kPartExtension[] = ".part";  // an entry being written

// Each byte of a kept file is changed by this key, repeated: no byte of the
// file, nor its fingerprint window, stands in the entry as it was.
static const unsigned char kKey[16] = {0x5a, 0xc3, 0x96, 0x2d, 0x71, 0xe8, 0x0f, 0xb4,
                                       0x3c, 0xa9, 0x52, 0xd7, 0x68, 0x1e, 0xf5, 0x8b};

// The record never grows past this (a path of 32767 characters fits).
static const DWORD kMaxRecord = 128 * 1024;
enum { kChunk = 16 * 1024, kMaxEntryName = kQuarantineNameMax };

static void Encode(unsigned char *bytes, DWORD length, uint64_t offset)
{
    for (DWORD i = 0; i < length; ++i)
        bytes[i] ^= kKey[(offset + i) % sizeof kKey];
}

// ---------------------------------------------------------------------------
// The folder

// Holds the quarantine on the Windows folder's drive, making it (and the
// tool's folder) where make and missing. Only a folder that administrators
// alone can change is the quarantine, whoever made its name. Answers 1 when
// held.
static int HoldQuarantine(QuarantineFolder *q, int make)
{
    q->tool = q->folder = INVALID_HANDLE_VALUE;
    char windows[MAX_PATH];
    if (!BuildWindowsPath("", windows, sizeof windows) || windows[1] != ':')
        return 0;
    return HoldToolFolder(static_cast<unsigned char>(windows[0]), L"" QUARANTINE_FOLDER_NAME, make, &q->tool,
                          &q->folder, q->path);
}

static void ReleaseQuarantine(QuarantineFolder *q)
{
    if (q->folder != INVALID_HANDLE_VALUE)
        sys::CloseHandle(q->folder);
    if (q->tool != INVALID_HANDLE_VALUE)
        sys::CloseHandle(q->tool);
    q->tool = q->folder = INVALID_HANDLE_VALUE;
}

// The path of a name in the held folder (which only administrators can
// change, so a path inside it leads nowhere else).
static void EntryPath(const QuarantineFolder *q, const wchar_t *name, wchar_t *path)
{
    path[0] = L'\0';
    if (wcslen(q->path) + 1 + wcslen(name) < MAX_PATH) {
        wcscpy(path, q->path);
        wcscat(path, L"\\");
        wcscat(path, name);
    }
}

// An entry's name (digits, '-' and its extension) in the code page's form.
static void NarrowName(const wchar_t *name, char *narrow)
{
    size_t i = 0;
    for (; name[i] != L'\0' && i + 1 < kMaxEntryName; ++i)
        narrow[i] = name[i] < 0x80 ? static_cast<char>(name[i]) : '?';
    narrow[i] = '\0';
}

static int CompareEntries(const void *a, const void *b)
{
    return wcscmp(static_cast<const QuarantineListed *>(a)->name, static_cast<const QuarantineListed *>(b)->name);
}

static int EndsWith(const wchar_t *name, const wchar_t *extension)
{
    size_t length = wcslen(name), tail = wcslen(extension);
    if (length <= tail)
        return 0;
    for (size_t i = 0; i < tail; ++i) {
        wchar_t c = name[length - tail + i];
        if ((c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) != extension[i])
            return 0;
    }
    return 1;
}

// Lists the folder's entries, oldest first, in a heap block the caller frees
// (null when none); with removeParts, removes on the way what a run that ended
// while writing an entry left. Answers -1 when the folder cannot be listed,
// else the count.
static int ListFolder(const QuarantineFolder *q, int removeParts, QuarantineListed **entries)
{
    *entries = nullptr;
    wchar_t pattern[MAX_PATH];
    EntryPath(q, L"*", pattern);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileWInTime(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    int count = 0, capacity = 0, failed = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcslen(found.cFileName) >= kMaxEntryName)
            continue;
        if (removeParts && EndsWith(found.cFileName, L".part")) {
            wchar_t path[MAX_PATH];
            EntryPath(q, found.cFileName, path);
            sys::wremove(path);
            continue;
        }
        if (!EndsWith(found.cFileName, L".vq"))
            continue;
        if (count == capacity) {
            int grown = capacity == 0 ? 32 : capacity * 2;
            QuarantineListed *more = static_cast<QuarantineListed *>(sys::malloc(grown * sizeof(QuarantineListed)));
            if (more == nullptr) {
                failed = 1;
                break;
            }
            if (count != 0)
                memcpy(more, *entries, count * sizeof(QuarantineListed));
            sys::free(*entries);
            *entries = more;
            capacity = grown;
        }
        wcscpy((*entries)[count].name, found.cFileName);
        (*entries)[count].size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        ++count;
    } while (sys::FindNextFileW(search, &found));
    sys::FindClose(search);
    if (failed) {
        sys::free(*entries);
        *entries = nullptr;
        return -1;
    }
    if (count > 1)
        qsort(*entries, count, sizeof(QuarantineListed), CompareEntries);
    return count;
}

// ---------------------------------------------------------------------------
// The record

static int IsHexDigest(const char *text)
{
    if (strlen(text) != 64)
        return 0;
    for (const char *at = text; *at != '\0'; ++at)
        if (!((*at >= '0' && *at <= '9') || (*at >= 'a' && *at <= 'f')))
            return 0;
    return 1;
}

// Reads the record at the start of an entry. Answers 1 when it is whole; the
// caller frees record->text.
static int ReadRecord(HANDLE entry, QuarantineRecord *record)
{
    memset(record, 0, sizeof *record);
    record->text = static_cast<char *>(sys::malloc(kMaxRecord + 1));
    if (record->text == nullptr)
        return 0;
    DWORD read = 0;
    if (sys::SetFilePointer(entry, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !sys::ReadFile(entry, record->text, kMaxRecord, &read, nullptr))
        return 0;
    record->text[read] = '\0';
    char *end = strstr(record->text, "\r\n\r\n");
    if (end == nullptr || strlen(record->text) < static_cast<size_t>(end - record->text))
        return 0;
    end[2] = '\0';
    record->dataOffset = static_cast<DWORD>(end - record->text) + 4;
    int fields = 0;
    char *line = record->text;
    for (int number = 0; *line != '\0'; ++number) {
        char *next = strstr(line, "\r\n");
        if (next == nullptr)
            return 0;
        *next = '\0';
        if (number == 0 && strcmp(line, kRecordMark) != 0)
            return 0;
        char *value = strchr(line, ':');
        if (number > 0 && value != nullptr && value[1] == ' ') {
            *value = '\0';
            value += 2;
            if (strcmp(line, "Path") == 0)
                record->path = value, fields |= 1;
            else if (strcmp(line, "Attributes") == 0)
                record->attributes = strtoul(value, nullptr, 16), fields |= 2;
            else if (strcmp(line, "Kept") == 0)
                record->kept = value, fields |= 4;
            else if (strcmp(line, "Size") == 0)
                record->size = strtoull(value, nullptr, 10), fields |= 8;
            else if (strcmp(line, "SHA-256") == 0)
                record->sha256 = IsHexDigest(value) ? value : nullptr, fields |= 16;
            else if (strcmp(line, "Rule") == 0)
                record->rule = value, fields |= 32;
        }
        line = next + 2;
    }
    return fields == 63 && record->path[0] != '\0';
}

// A UTF-8 path as the console and the log show it: the code page's form,
// with '?' for what it cannot hold.
static void ShowUtf8(const char *utf8, char *shown, size_t size)
{
    shown[0] = '\0';
    int length = sys::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    wchar_t *wide = length > 0 ? static_cast<wchar_t *>(sys::malloc(length * sizeof(wchar_t))) : nullptr;
    if (wide == nullptr)
        return;
    if (sys::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, length) == 0 ||
        sys::WideCharToMultiByte(CP_ACP, 0, wide, -1, shown, static_cast<int>(size), nullptr, nullptr) == 0)
        snprintf(shown, size, "%s", utf8);
    sys::free(wide);
}

// Opens an entry of the held folder to read it.
static HANDLE OpenEntry(const QuarantineFolder *q, const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    EntryPath(q, name, path);
    return CreateFileWInTime(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
}

// ---------------------------------------------------------------------------
// Keeping a copy

// The quarantine as this run knows it: listed once, at the run's first copy,
// then kept as entries come and go (a run holds the only lock), so a full
// quarantine costs no listing per copy. Earlier runs' entries go, oldest
// first, to make room; this run's own never do: samples planted to be found
// can push out earlier runs' copies, not the copies this run kept before
// them, and once this run's copies fill the bound the rest are deleted
// without one.
static struct {
    int listed;
    QuarantineListed *older;  // earlier runs' entries, oldest first
    int count, next;          // next: the oldest not yet removed
    uint64_t olderTotal, ownTotal;
} g_room;

enum { kRoomMade = 1, kRoomFullOfOwn = 0, kRoomNotMade = -1 };

// Removes the oldest entries of earlier runs until needed more bytes fit in
// the bound; each is logged with the file it held. Answers a kRoom value.
static int MakeRoom(const QuarantineFolder *q, uint64_t needed)
{
    if (!g_room.listed) {
        int count = ListFolder(q, 1, &g_room.older);
        if (count < 0)
            return kRoomNotMade;  // tried again at the next copy
        g_room.listed = 1;
        g_room.count = count;
        for (int i = 0; i < count; ++i)
            g_room.olderTotal += g_room.older[i].size;
    }
    if (g_room.ownTotal + needed > kQuarantineLimit)
        return kRoomFullOfOwn;  // only this run's copies could make room
    while (g_room.olderTotal + g_room.ownTotal + needed > kQuarantineLimit && g_room.next < g_room.count) {
        const QuarantineListed *listed = &g_room.older[g_room.next++];
        // The evicted file's path, as text: a control byte in it escaped.
        char shown[kShownGrowth * MAX_PATH] = "?";
        HANDLE entry = OpenEntry(q, listed->name);
        if (entry != INVALID_HANDLE_VALUE) {
            QuarantineRecord record;
            char path[MAX_PATH];
            if (ReadRecord(entry, &record)) {
                ShowUtf8(record.path, path, sizeof path);
                ShowText(path, shown, sizeof shown);
            }
            sys::free(record.text);
            sys::CloseHandle(entry);
        }
        wchar_t path[MAX_PATH];
        EntryPath(q, listed->name, path);
        if (sys::wremove(path) != 0)
            continue;
        g_room.olderTotal -= listed->size;
        char name[kMaxEntryName];
        NarrowName(listed->name, name);
        TracePrint(TraceModuleName, -1, 4,
                   "[QVSC - Quarantine]: Entry %s (%s) was removed: the quarantine keeps at most %lu MiB, the "
                   "oldest entries going first.\n",
                   name, shown, kQuarantineLimit >> 20);
    }
    return g_room.olderTotal + g_room.ownTotal + needed <= kQuarantineLimit ? kRoomMade : kRoomNotMade;
}

void QuarantineEndRun(void)
{
    sys::free(g_room.older);
    memset(&g_room, 0, sizeof g_room);
}

// The record of a file, with the SHA-256's place filled with '-' (written
// once the bytes are read). In a heap block the caller frees; null without
// memory or a path that cannot be put in UTF-8.
static char *BuildRecord(const wchar_t *original, DWORD attributes, const char *rule, uint64_t size,
                         const SYSTEMTIME &now, DWORD *shaOffset)
{
    // "\\?\C:\..." is kept as "C:\...", "\\?\UNC\server\..." as "\\server\...".
    const wchar_t *shown = original;
    const char *lead = "";
    if (wcsncmp(original, L"\\\\?\\UNC\\", 8) == 0)
        shown = original + 8, lead = "\\\\";
    else if (wcsncmp(original, L"\\\\?\\", 4) == 0)
        shown = original + 4;
    int pathBytes = sys::WideCharToMultiByte(CP_UTF8, 0, shown, -1, nullptr, 0, nullptr, nullptr);
    if (pathBytes <= 0 || static_cast<DWORD>(pathBytes) > kMaxRecord / 2)
        return nullptr;
    size_t capacity = static_cast<size_t>(pathBytes) + 512 + strlen(rule);
    char *record = static_cast<char *>(sys::malloc(capacity));
    char *path = static_cast<char *>(sys::malloc(pathBytes));
    if (record == nullptr || path == nullptr ||
        sys::WideCharToMultiByte(CP_UTF8, 0, shown, -1, path, pathBytes, nullptr, nullptr) == 0) {
        sys::free(record);
        sys::free(path);
        return nullptr;
    }
    char digest[65];
    memset(digest, '-', 64);
    digest[64] = '\0';
    snprintf(record, capacity,
             "%s\r\nPath: %s%s\r\nAttributes: 0x%08lX\r\nKept: %04u-%02u-%02u %02u:%02u:%02u UTC\r\nSize: %llu\r\n"
             "SHA-256: %s\r\nRule: %s\r\n\r\n",
             kRecordMark, lead, path, static_cast<unsigned long>(attributes), now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond, static_cast<unsigned long long>(size), digest, rule);
    sys::free(path);
    *shaOffset = static_cast<DWORD>(strstr(record, "SHA-256: ") - record) + 9;
    return record;
}

static int WriteAll(HANDLE file, const void *bytes, DWORD length)
{
    DWORD written = 0;
    return sys::WriteFile(file, bytes, length, &written, nullptr) && written == length;
}

// Copies size bytes of source, encoded, to the end of entry, and fills hex
// with their SHA-256 ('-' where the system has none). Answers kKept, or why
// not.
static int CopyEncoded(HANDLE source, HANDLE entry, uint64_t size, char *hex)
{
    unsigned char *buffer = static_cast<unsigned char *>(sys::malloc(kChunk));
    if (buffer == nullptr)
        return kKeepNotWritten;
    Sha256Hash hash;
    int hashing = Sha256Start(&hash);
    int result = sys::SetFilePointer(source, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ? kKeepUnreadable
                                                                                                  : kKept;
    uint64_t copied = 0;
    while (result == kKept) {
        DWORD read = 0;
        if (!sys::ReadFile(source, buffer, kChunk, &read, nullptr)) {
            result = kKeepUnreadable;
        } else if (read == 0) {
            break;
        } else {
            hashing = hashing && Sha256Add(&hash, buffer, read);
            Encode(buffer, read, copied);
            if (!WriteAll(entry, buffer, read))
                result = kKeepNotWritten;
            copied += read;
        }
    }
    // Finished whatever came before: that gives back what the hash took.
    if (!Sha256Finish(&hash, hex) || !hashing)
        memset(hex, '-', 64);
    hex[64] = '\0';
    if (result == kKept && copied != size)
        result = kKeepUnreadable;  // it changed while it was read: the record would not match
    sys::free(buffer);
    return result;
}

int QuarantineKeep(HANDLE file, const wchar_t *original, DWORD attributes, const char *rule, char *entryName,
                   size_t size)
{
    if (size != 0)
        entryName[0] = '\0';
    if (!IsWindowsNT())
        return kKeepNoSystem;
    BY_HANDLE_FILE_INFORMATION info;
    if (!sys::GetFileInformationByHandle(file, &info))
        return kKeepUnreadable;
    uint64_t fileSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    SYSTEMTIME now;
    sys::GetSystemTime(&now);
    DWORD shaOffset = 0;
    char *record = BuildRecord(original, attributes, rule, fileSize, now, &shaOffset);
    if (record == nullptr)
        return kKeepNotWritten;
    DWORD recordSize = static_cast<DWORD>(strlen(record));
    if (fileSize + recordSize > kQuarantineLimit) {
        sys::free(record);
        return kKeepTooLarge;
    }
    QuarantineFolder q;
    if (!HoldQuarantine(&q, 1)) {
        ReleaseQuarantine(&q);
        sys::free(record);
        return kKeepNoFolder;
    }
    int room = MakeRoom(&q, fileSize + recordSize);
    if (room != kRoomMade) {
        ReleaseQuarantine(&q);
        sys::free(record);
        return room == kRoomFullOfOwn ? kKeepFullOfOwn : kKeepNoRoom;
    }

    // Named by the time it was kept, so that names sort oldest first; the
    // process and a count tell apart entries of the same millisecond.
    static unsigned s_count;
    wchar_t name[kMaxEntryName], partPath[MAX_PATH], entryPath[MAX_PATH];
    _snwprintf(name, kMaxEntryName, L"%04u%02u%02u-%02u%02u%02u-%03u-%08lX-%u", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
               static_cast<unsigned long>(sys::GetCurrentProcessId()), s_count++);
    name[kMaxEntryName - 8] = L'\0';
    wchar_t partName[kMaxEntryName];
    wcscpy(partName, name);
    wcscat(partName, L".part");
    wcscat(name, L".vq");
    EntryPath(&q, partName, partPath);
    EntryPath(&q, name, entryPath);

    int result = kKeepNotWritten;
    HANDLE entry = CreateFileWInTime(partPath, GENERIC_WRITE, 0, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (entry != INVALID_HANDLE_VALUE) {
        char hex[65];
        if (WriteAll(entry, record, recordSize))
            result = CopyEncoded(file, entry, fileSize, hex);
        if (result == kKept &&
            (sys::SetFilePointer(entry, static_cast<LONG>(shaOffset), nullptr, FILE_BEGIN) ==
                 INVALID_SET_FILE_POINTER ||
             !WriteAll(entry, hex, 64)))
            result = kKeepNotWritten;
        sys::CloseHandle(entry);
        // Only a whole entry gets its name.
        if (result == kKept && !sys::MoveFileExW(partPath, entryPath, 0))
            result = kKeepNotWritten;
        if (result != kKept)
            sys::wremove(partPath);
    }
    if (result == kKept) {
        g_room.ownTotal += fileSize + recordSize;
        if (size >= kMaxEntryName)
            NarrowName(name, entryName);
    }
    ReleaseQuarantine(&q);
    sys::free(record);
    return result;
}

const char *QuarantineKeepFailure(int result)
{
    switch (result) {
    case kKeepUnreadable:
        return "it cannot be read";
    case kKeepNoFolder:
        return "the quarantine folder cannot be used";
    case kKeepTooLarge:
        return "it is larger than the quarantine may hold";
    case kKeepNoSystem:
        return "this system has no folder only administrators can change";
    case kKeepFullOfOwn:
        return "the quarantine is full of this run's copies";
    case kKeepNoRoom:
        return "the quarantine cannot make room for it";
    default:
        return "the quarantine entry could not be written";
    }
}

// ---------------------------------------------------------------------------
// Reading the kept entries

int QuarantineOpenListing(QuarantineListing *listing)
{
    listing->held.tool = listing->held.folder = INVALID_HANDLE_VALUE;
    listing->entries = nullptr;
    listing->count = 0;
    if (!IsWindowsNT())
        return kListNoSystem;
    if (!HoldQuarantine(&listing->held, 0)) {
        int missing = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        ReleaseQuarantine(&listing->held);
        return missing ? kListEmpty : kListNoFolder;
    }
    int count = ListFolder(&listing->held, 0, &listing->entries);
    if (count <= 0) {
        ReleaseQuarantine(&listing->held);
        return count < 0 ? kListNotListed : kListEmpty;
    }
    listing->count = count;
    return kListed;
}

void QuarantineCloseListing(QuarantineListing *listing)
{
    if (listing->entries != nullptr)
        sys::free(listing->entries);
    listing->entries = nullptr;
    listing->count = 0;
    ReleaseQuarantine(&listing->held);
}

void QuarantineEntryName(const QuarantineListing *listing, int index, char name[kQuarantineNameMax])
{
    NarrowName(listing->entries[index].name, name);
}

int QuarantineFindEntry(const QuarantineListing *listing, const char *name)
{
    size_t length = strlen(name);
    for (int i = 0; i < listing->count; ++i) {
        char listed[kQuarantineNameMax];
        NarrowName(listing->entries[i].name, listed);
        size_t stem = strlen(listed) - 3;  // every listed name ends with ".vq"
        if (_stricmp(listed, name) == 0 || (length == stem && _strnicmp(listed, name, stem) == 0))
            return i;
    }
    return -1;
}

int QuarantineOpenEntry(const QuarantineListing *listing, int index, QuarantineEntry *entry)
{
    memset(&entry->record, 0, sizeof entry->record);
    entry->file = OpenEntry(&listing->held, listing->entries[index].name);
    return entry->file != INVALID_HANDLE_VALUE && ReadRecord(entry->file, &entry->record);
}

void QuarantineCloseEntry(QuarantineEntry *entry)
{
    sys::free(entry->record.text);
    entry->record.text = nullptr;
    if (entry->file != INVALID_HANDLE_VALUE)
        sys::CloseHandle(entry->file);
    entry->file = INVALID_HANDLE_VALUE;
}

void QuarantineShownPath(const QuarantineRecord *record, char *shown, size_t size)
{
    ShowUtf8(record->path, shown, size);
}

wchar_t *QuarantineOriginalPath(const QuarantineRecord *record)
{
    int length = sys::MultiByteToWideChar(CP_UTF8, 0, record->path, -1, nullptr, 0);
    wchar_t *wide = length > 0 ? static_cast<wchar_t *>(sys::malloc((length + 4) * sizeof(wchar_t))) : nullptr;
    if (wide != nullptr) {
        wcscpy(wide, L"\\\\?\\");
        if (sys::MultiByteToWideChar(CP_UTF8, 0, record->path, -1, wide + 4, length) == 0) {
            sys::free(wide);
            wide = nullptr;
        }
    }
    return wide;
}

int QuarantineWriteBack(const QuarantineEntry *entry, HANDLE file)
{
    const QuarantineRecord *record = &entry->record;
    if (record->sha256 == nullptr)
        return kWriteNoDigest;
    unsigned char *buffer = static_cast<unsigned char *>(sys::malloc(kChunk));
    if (buffer == nullptr)
        return kWriteFailed;
    Sha256Hash hash;
    int result = kWrittenBack;
    if (!Sha256Start(&hash))
        result = kWriteNoDigest;
    else if (sys::SetFilePointer(entry->file, static_cast<LONG>(record->dataOffset), nullptr, FILE_BEGIN) ==
             INVALID_SET_FILE_POINTER)
        result = kWriteEntryUnreadable;
    uint64_t copied = 0;
    while (result == kWrittenBack) {
        DWORD read = 0;
        if (!sys::ReadFile(entry->file, buffer, kChunk, &read, nullptr)) {
            result = kWriteEntryUnreadable;
        } else if (read == 0) {
            break;
        } else {
            Encode(buffer, read, copied);
            if (!Sha256Add(&hash, buffer, read))
                result = kWriteNoDigest;
            else if (!WriteAll(file, buffer, read))
                result = kWriteFailed;
            copied += read;
        }
    }
    // Finished whatever came before: that gives back what the hash took.
    char hex[65] = "";
    if (!Sha256Finish(&hash, hex) && result == kWrittenBack)
        result = kWriteNoDigest;
    sys::free(buffer);
    if (result == kWrittenBack && (copied != record->size || strcmp(hex, record->sha256) != 0))
        result = kWriteMismatch;
    return result;
}
