#include "detect/drive_walk.h"
#include "base/console.h"
#include "base/platform.h"
#include "base/run_record.h"
#include "base/run_tally.h"
#include "detect/pattern_list.h"
#include "detect/read_ahead.h"
#include "detect/signatures.h"
#include "fileops/file_digest.h"
#include "fileops/long_path.h"
#include "fileops/replace_file.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <string.h>

static int WalkTree(const char *folderPath, WalkCallback callback, int isRoot);

// The readers of the walk in progress, when it has them. The walk's own
// reports come after every entry queued before them.
static ReadAhead *g_readAhead;

static void FinishQueuedEntries(void)
{
    if (g_readAhead != nullptr)
        ReadAheadFinish(g_readAhead);
}

int ScanAllDrives(WalkCallback callback)
{
    char drives[256];
    DWORD length = sys::GetLogicalDriveStringsA(sizeof drives, drives);
    // 0 is a failure; a length past the buffer means the list did not fit.
    // Either way no drive is searched, and the run must not look clean.
    if (length == 0 || length >= sizeof drives) {
        FinishQueuedEntries();
        ConsolePrint("Cannot list the drives\n");
        TracePrint(TraceModuleName, -1, 1, "%s", "Cannot list the drives\n");
        RunTallyAddFailed();
        return 0;
    }
    for (const char *root = drives; *root != '\0'; root += strlen(root) + 1) {
        UINT type = sys::GetDriveTypeA(root);
        if (type == DRIVE_UNKNOWN) {
            FinishQueuedEntries();
            ConsolePrint("Cannot tell the type of drive %s\n", root);
            TracePrint(TraceModuleName, -1, 1, "Cannot tell the type of drive %s\n", root);
            RunTallyAddFailed();
            continue;
        }
        if (type != DRIVE_FIXED)
            continue;
        int result = WalkTree(root, callback, 1);
        if (result != 0)
            return result;
    }
    return 0;
}

static int IsDotEntry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// A folder whose entries could not all be listed: said on the console and in
// the log. It counts as a failed removal for a drive's root (a whole drive
// went unsearched) or when memory ran out; a folder below the root that the
// system refuses to list counts as not listed (every system has folders even
// an administrator may not list: that is not a failed removal, but a worm may
// hide there).
static void ReportUnsearchedFolder(const char *folderPath, int countsAsFailed)
{
    FinishQueuedEntries();
    ConsolePrint("Error scanning folder %s\n", folderPath);
    TracePrint(TraceModuleName, -1, 1, "Error scanning folder %s\n", folderPath);
    if (countsAsFailed)
        RunTallyAddFailed();
    else
        RunTallyAddUnjudged(kFolderNotListed);
}

int WalkFolder(const char *folderPath, WalkCallback callback)
{
    return WalkTree(folderPath, callback, 0);
}

static int WalkTree(const char *folderPath, WalkCallback callback, int isRoot)
{
    // Room for the folder path and one entry name, marked or not, with a
    // backslash (or "*.*"), so no name is ever written past the buffer,
    // however deep the folder.
    size_t folderLength = strlen(folderPath);
    char *path = static_cast<char *>(sys::malloc(folderLength + kMarkedNameSize + 2));
    if (path == nullptr) {
        // Out of memory is a failure wherever it strikes; the walk goes on
        // with the other folders.
        ReportUnsearchedFolder(folderPath, 1);
        return 0;
    }
    memcpy(path, folderPath, folderLength);
    char *insertion = path + folderLength;
    strcpy(insertion, "*.*");

    WIN32_FIND_DATAA entry;
    int wide = 0;
    HANDLE search = PathFindFirst(path, &entry, &wide);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            ReportUnsearchedFolder(folderPath, isRoot);
        sys::free(path);
        return 0;
    }

    int result = 0;
    do {
        // A name the code page could not hold comes back with '?' in it and
        // cannot be opened so: its 8.3 alias stands in, or where there is
        // none, its marked form, which the file calls reach it by.
        const char *name = entry.cFileName;
        if (strchr(name, '?') != nullptr) {
            if (entry.cAlternateFileName[0] != '\0')
                name = entry.cAlternateFileName;
            else if (PathMarkName(folderPath, &entry, insertion, kMarkedNameSize))
                name = insertion;
        }
        size_t nameLength = strlen(name);
        if (nameLength >= kMarkedNameSize)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or symbolic link may lead back up the tree: following
            // it could walk the same folders without end.
            if (IsDotEntry(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            memmove(insertion, name, nameLength + 1);
            result = callback(path, &entry, 1);
            if (result != 0)
                break;
            insertion[nameLength] = '\\';
            insertion[nameLength + 1] = '\0';
            result = WalkTree(path, callback, 0);
            if (result != 0)
                break;
        } else {
            memmove(insertion, name, nameLength + 1);
            result = callback(path, &entry, 0);
            if (result != 0)
                break;
        }
    } while (PathFindNext(search, wide, &entry));
    if (result == 0 && GetLastError() != ERROR_NO_MORE_FILES)
        ReportUnsearchedFolder(folderPath, isRoot);

    sys::FindClose(search);
    sys::free(path);
    return result;
}

static void ReportFolder(const char *path)
{
    RunRecordWalk(kWalkFolders);
    ConsolePrint("%s\n", path);
    TracePrint(TraceModuleName, -1, 4, "%s\n", path);
}

// What the file step does with a candidate's fingerprint: reports it, and
// deletes and counts an infected file.
static void HandleFingerprint(const char *path, const FingerprintResult *fingerprint)
{
    int infected = 0;
    RunRecordWalk(kWalkFiles);
    RunRecordWalk(kWalkCandidates);
    if (!ReportFingerprint(path, fingerprint, &infected)) {
        // Logged too: a silent run's log is all a script has to go by.
        if (fingerprint->timedOut) {
            ConsolePrint("Error scanning file %s (no answer within %u seconds)\n", path, kReadDeadlineMs / 1000);
            TracePrint(TraceModuleName, -1, 1, "Error scanning file %s (no answer within %u seconds)\n", path,
                       kReadDeadlineMs / 1000);
        } else {
            ConsolePrint("Error scanning file %s\n", path);
            TracePrint(TraceModuleName, -1, 1, "Error scanning file %s\n", path);
        }
        RunTallyAddUnjudged(kFileNotExamined);
        return;
    }
    if (!infected)
        return;

    RunTallyAddFound();
    ConsolePrint("Infected: %s  ", path);
    WormFileFacts facts;
    FileSha256(path, &facts);
    facts.signatureId = fingerprint->matchIndex;
    int result = ReplaceExaminedFile(path, &fingerprint->identity);
    RunRecordObject(kObjectFile, path, kActionDelete, RunObjectResultOfReplace(result), &facts);
    TracePrint(TraceModuleName, -1, 4, "Deleting file \"%s\", result=%d\n", path, result);
    switch (result) {
    case ReplaceDone:
        ConsolePrint("Deleted\n");
        break;
    case ReplaceAtReboot:
        ConsolePrint("Deleted, reboot needed\n");
        break;
    case ReplaceFailedPartly:
    case ReplaceFailed:
        ConsolePrint("Delete failed\n");
        break;
    default:
        ConsolePrint("\n");
        break;
    }
    RunTallyAddReplaceResult(result);
}

int CheckFoundEntry(const char *path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    (void)findData;
    ConsoleFlushDue();
    if (isDirectory) {
        ReportFolder(path);
        return 0;
    }
    if (!HasScannedExtension(path)) {
        RunRecordWalk(kWalkFiles);
        return 0;
    }
    FingerprintResult fingerprint;
    FingerprintFile(path, SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &fingerprint);
    HandleFingerprint(path, &fingerprint);
    return 0;
}

static void HandleQueuedEntry(const char *path, int isDirectory, const FingerprintResult *fingerprint)
{
    if (isDirectory)
        ReportFolder(path);
    else
        HandleFingerprint(path, fingerprint);
}

// The walk's callback with readers: queues folders and candidates in the
// walk's order. An entry that cannot be queued (no memory for its path) is
// checked here, after everything queued before it.
static int QueueFoundEntry(const char *path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    static unsigned passedOver;
    ConsoleFlushDue();
    if (!isDirectory && !HasScannedExtension(path)) {
        RunRecordWalk(kWalkFiles);
        if (++passedOver % 64 == 0)
            ReadAheadKeepMoving(g_readAhead);
        return 0;
    }
    if (!ReadAheadAdd(g_readAhead, path, isDirectory))
        return CheckFoundEntry(path, findData, isDirectory);
    return 0;
}

int ScanAllDrivesReadingAhead(void)
{
    int result;
    // On 64-bit Windows the walk sees the real System32 and SysWOW64, each
    // once, and deletes and schedules the real files.
    FileRedirection redirection = FileRedirectionOff();
    g_readAhead = ReadAheadStart(HandleQueuedEntry);
    if (g_readAhead == nullptr) {
        result = ScanAllDrives(CheckFoundEntry);
    } else {
        result = ScanAllDrives(QueueFoundEntry);
        ReadAheadStop(g_readAhead);
        g_readAhead = nullptr;
    }
    FileRedirectionBack(redirection);
    // The steps after the walk say nothing for a while.
    ConsoleFlush();
    return result;
}
