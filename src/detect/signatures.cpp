#include "detect/signatures.h"

#include "base/console.h"
#include "base/platform.h"
#include "detect/crc32.h"
#include "fileops/long_path.h"
#include "quarantine/allowed_files.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

static_assert(SignatureSpanLength >= MaxSignatureLength, "a window must fit one read");

const SignatureEntry SignatureTable[] = {
    {0x0000, 0x3000, 0x71691803u},
    {0x0000, 0x3000, 0x27897029u},
    {0x1000, 0x3000, 0xA81F7183u},
    {0x0000, 0x3000, 0x229A8DE9u},
    {0, 0, 0},
};

unsigned char SignatureReadBuffer[SignatureSpanLength];

static int IsReadable(const SignatureEntry &entry)
{
    return entry.length <= MaxSignatureLength;
}

// How many bytes from `start` one read takes: up to the end of the furthest
// window that begins there or later and still fits the buffer.
static uint32_t SpanFrom(const SignatureEntry *table, uint32_t start, uint32_t bufferSize)
{
    uint32_t end = start;
    for (int32_t row = 0; table[row].length != 0; ++row) {
        uint32_t offset = static_cast<uint32_t>(table[row].offset);
        uint32_t windowEnd = offset + table[row].length;
        if (IsReadable(table[row]) && offset >= start && windowEnd - start <= bufferSize && windowEnd > end)
            end = windowEnd;
    }
    return end - start;
}

// Opens a candidate for reading, sharing everything: a worm copy that
// another program holds open, even for writing, is still read. Only one held
// without read sharing stays unexamined, and a folder. Windows 9x knows no
// delete sharing and refuses the flag.
static HANDLE OpenToFingerprint(const char *path)
{
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (IsWindowsNT() ? FILE_SHARE_DELETE : 0);
    HANDLE file = PathCreateFile(path, GENERIC_READ, share, OPEN_EXISTING, 0);
    // A file whose ACL shuts the administrators out (its owner may set one)
    // is read again with backup semantics: the run holds the backup privilege.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && IsWindowsNT()) {
        file = PathCreateFile(path, GENERIC_READ, share, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        // Backup semantics open folders too; a folder is never a candidate.
        if (file != INVALID_HANDLE_VALUE && !HandleIsFile(file)) {
            sys::CloseHandle(file);
            return INVALID_HANDLE_VALUE;
        }
    }
    return file;
}

// The windows read so far: the last read asked for [start, start + asked)
// and got `got` bytes, or failed; the windows summed since that read (rows
// 0, 1 and 3 of the built-in table share one).
struct WindowReader {
    enum { NothingRead, Read, ReadFailed } state;
    uint32_t start, asked;
    DWORD got;
    uint32_t position;
    int positionKnown;
    struct Summed {
        uint32_t offset, length, crc;
    } summed[8];
    int summedCount;
};

// Reads the span that starts at `offset` unless the last read covers the
// window. A file opened afresh is read from its first byte without a seek.
// Answers 0 when the window's bytes could not be had.
static int ReadWindow(WindowReader *reader, HANDLE file, const SignatureEntry *table, uint32_t offset,
                      uint32_t length, unsigned char *buffer, uint32_t bufferSize, FingerprintResult *result)
{
    if (reader->state == WindowReader::NothingRead || offset < reader->start ||
        offset + length > reader->start + reader->asked) {
        reader->start = offset;
        reader->asked = SpanFrom(table, offset, bufferSize);
        reader->summedCount = 0;
        reader->got = 0;
        // Without a high part, 0xFFFFFFFF can only mean failure. A position
        // past the end of the file is no failure: the read comes up short.
        if ((!reader->positionKnown || reader->position != offset) &&
            sys::SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
            ++result->seekFailures;
            reader->state = WindowReader::ReadFailed;
            reader->positionKnown = 0;
        } else if (!sys::ReadFile(file, buffer, reader->asked, &reader->got, nullptr)) {
            reader->state = WindowReader::ReadFailed;
            reader->positionKnown = 0;
        } else {
            reader->state = WindowReader::Read;
            reader->position = offset + reader->got;
            reader->positionKnown = 1;
        }
    }
    return reader->state != WindowReader::ReadFailed;
}

// The CRC-32 of a window inside the last read, summed once however many rows
// share it.
static uint32_t WindowCrc(WindowReader *reader, const unsigned char *buffer, uint32_t offset, uint32_t length)
{
    for (int i = 0; i < reader->summedCount; ++i)
        if (reader->summed[i].offset == offset && reader->summed[i].length == length)
            return reader->summed[i].crc;
    uint32_t crc = Crc32(buffer + (offset - reader->start), length);
    if (reader->summedCount < static_cast<int>(sizeof reader->summed / sizeof reader->summed[0]))
        reader->summed[reader->summedCount++] = {offset, length, crc};
    return crc;
}

// Tests the rows in order until one matches (result->matchIndex). Answers 1
// unless every window tried failed to be read: calling such a file clean
// would hide a worm behind a read error.
static int MatchRows(HANDLE file, const SignatureEntry *table, unsigned char *buffer, uint32_t bufferSize,
                     FingerprintResult *result)
{
    WindowReader reader;
    memset(&reader, 0, sizeof reader);
    reader.positionKnown = 1;
    int windowsTried = 0, windowsFailed = 0;
    for (int32_t row = 0; table[row].length != 0; ++row) {
        const SignatureEntry &entry = table[row];
        if (!IsReadable(entry))
            continue;
        ++windowsTried;
        uint32_t offset = static_cast<uint32_t>(entry.offset);
        if (!ReadWindow(&reader, file, table, offset, entry.length, buffer, bufferSize, result)) {
            ++windowsFailed;
            continue;
        }
        if (offset + entry.length > reader.start + reader.got)
            continue;
        if (WindowCrc(&reader, buffer, offset, entry.length) == entry.crc) {
            result->matchIndex = row;
            break;
        }
    }
    return windowsTried != 0 && windowsFailed == windowsTried ? 0 : 1;
}

// FingerprintFile, and with facts a worm file's size and SHA-256 from the
// same handle: a file put at the path since is never the one hashed.
static int FingerprintOpenFile(const char *path, const SignatureEntry *table, unsigned char *buffer,
                               uint32_t bufferSize, FingerprintResult *result, int facts)
{
    result->examined = 0;
    result->matchIndex = -1;
    result->seekFailures = 0;
    result->timedOut = 0;
    result->allowed = 0;
    memset(&result->facts, 0, sizeof result->facts);
    memset(&result->identity, 0, sizeof result->identity);
    HANDLE file = OpenToFingerprint(path);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int examined = MatchRows(file, table, buffer, bufferSize, result);
    // Which file was read: a deletion for this fingerprint deletes only it.
    // Asked of a worm file only: a query per candidate costs the walk a trip
    // to the system each.
    if (result->matchIndex != -1)
        FileIdentityOf(file, &result->identity);
    if (result->matchIndex != -1 && facts)
        FileHandleSha256(file, &result->facts);
    sys::CloseHandle(file);
    result->examined = examined;
    return result->examined;
}

int FingerprintFile(const char *path, const SignatureEntry *table, unsigned char *buffer, uint32_t bufferSize,
                    FingerprintResult *result)
{
    return FingerprintOpenFile(path, table, buffer, bufferSize, result, 0);
}

static void PrintSeekFailures(const FingerprintResult *result)
{
    for (int i = 0; i < result->seekFailures; ++i)
        ConsolePrint("seek failed\n");
}

void FingerprintWormFile(const char *path, const SignatureEntry *table, unsigned char *buffer, uint32_t bufferSize,
                         FingerprintResult *result)
{
    FingerprintOpenFile(path, table, buffer, bufferSize, result, 1);
    if (result->matchIndex == -1)
        return;
    result->facts.signatureId = result->matchIndex;
    // Only bytes read whole are spared: a file that could not be hashed is
    // judged by its fingerprint alone.
    result->allowed = result->facts.known && IsAllowedSha256(result->facts.sha256);
}

int MatchFileSignature(const char *path, const SignatureEntry *table, int32_t *matchIndex)
{
    FingerprintResult result;
    FingerprintFile(path, table, SignatureReadBuffer, sizeof SignatureReadBuffer, &result);
    PrintSeekFailures(&result);
    *matchIndex = result.matchIndex;
    return result.examined;
}

int ReportFingerprint(const char *path, const FingerprintResult *result, int32_t *infected)
{
    PrintSeekFailures(result);
    *infected = 0;
    if (result->allowed) {
        TracePrint(TraceModuleName, -1, 4, "Allowed (signature ID %d, SHA-256 %s): %s\n", result->matchIndex,
                   result->facts.sha256, path);
    } else if (result->matchIndex != -1) {
        *infected = 1;
        TracePrint(TraceModuleName, -1, 4, "Infected (signature ID %d): %s\n", result->matchIndex, path);
    }
    return result->examined;
}

int ScanFileForSignature(const char *path, int32_t *infected)
{
    FingerprintResult result;
    FingerprintFile(path, SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &result);
    return ReportFingerprint(path, &result, infected);
}
