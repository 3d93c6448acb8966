#include "detect/drive_walk.h"
#include "base/console.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "detect/pattern_list.h"
#include "detect/read_ahead.h"
#include "detect/signatures.h"
#include "quarantine/file_digest.h"
#include "fileops/long_path.h"
#include "fileops/timed_call.h"
#include "removal/remove_object.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <string.h>

static int WalkTree(const char *folderPath, WalkCallback callback, int isRoot, int rememberFolders);

// The readers of the walk in progress, when it has them. The walk's own
// reports come after every entry queued before them.
static ReadAhead *g_readAhead;

static void FinishQueuedEntries(void)
{
    if (g_readAhead != nullptr)
        ReadAheadFinish(g_readAhead);
}

// 1 when the walk of the drive at root must remember its folders: a
// crafted file system (a FAT stick made elsewhere) can hold a folder inside
// itself, and every path through it is a new one. NTFS and ReFS on a fixed
// disk hold no folder twice (no hard-linked folders; links are passed over),
// and remembering costs an open a folder. Removable media are remembered
// whatever they hold, as is a volume that does not name its file system.
// Windows 9x opens no folder, so nothing is remembered there.
static int MayHoldAFolderTwice(const char *root, UINT type)
{
    if (!IsWindowsNT())
        return 0;
    if (type != DRIVE_FIXED)
        return 1;
    char fileSystem[16];
    if (!sys::GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, sizeof fileSystem))
        return 1;
    return strcmp(fileSystem, "NTFS") != 0 && strcmp(fileSystem, "ReFS") != 0;
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
        // Removable drives (sticks that carry the worm from machine to
        // machine) only when asked; never network, optical or RAM drives.
        if (type != DRIVE_FIXED && (type != DRIVE_REMOVABLE || !RunWalksRemovableDrives()))
            continue;
        // An empty slot of a card reader: no medium, nothing to walk.
        if (type == DRIVE_REMOVABLE && sys::GetFileAttributesA(root) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_NOT_READY) {
            FinishQueuedEntries();
            TracePrint(TraceModuleName, -1, 4, "Drive %s holds no medium and was not searched\n", root);
            continue;
        }
        int result = WalkTree(root, callback, 1, MayHoldAFolderTwice(root, type));
        if (result != 0)
            return result;
    }
    return 0;
}

int ScanRunFolders(WalkCallback callback)
{
    for (int index = 0; index < RunWalkRootCount(); ++index) {
        const char *folder = RunWalkRoot(index);
        DWORD attributes = sys::GetFileAttributesA(folder);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // Named by the administrator: a folder missing is a place not searched.
            FinishQueuedEntries();
            char shown[kShownGrowth * MAX_PATH];
            ShowText(folder, shown, sizeof shown);
            ConsolePrint("Folder %s does not exist and was not searched\n", shown);
            TracePrint(TraceModuleName, -1, 1, "Folder %s does not exist and was not searched\n", shown);
            RunTallyAddFailed();
            continue;
        }
        // Listed as a drive's root is: a folder that cannot be listed is a
        // failure, not a folder passed over. Every folder is remembered: a
        // folder given may lie on a stick whose folder holds itself.
        int result = WalkTree(folder, callback, 1, IsWindowsNT());
        if (result != 0)
            return result;
    }
    return 0;
}

static int IsDotEntry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// A folder (by its shown path) whose entries could not all be listed: said
// on the console and in the log. It counts as a failed removal for a drive's
// root (a whole drive went unsearched) or when memory ran out; a folder below
// the root that the system refuses to list counts as not listed (every system
// has folders even an administrator may not list: that is not a failed
// removal, but a worm may hide there).
static void ReportUnsearchedFolder(const char *folderPath, int countsAsFailed)
{
    FinishQueuedEntries();
    ConsolePrint("Error scanning folder %s\n", folderPath);
    TracePrint(TraceModuleName, -1, 1, "Error scanning folder %s\n", folderPath);
    if (countsAsFailed)
        RunTallyAddFailed();
    // Counted once: as failed, or as not listed.
    RunRecordNotExamined(countsAsFailed ? -1 : kFolderNotListed, kObjectFolder, folderPath, kActionExamine,
                         "it could not be listed");
}

// A folder whose listing did not answer in time: not searched, counted as
// ReportUnsearchedFolder counts it.
static void ReportSilentFolder(const char *folderPath, int countsAsFailed)
{
    FinishQueuedEntries();
    ConsolePrint("Error scanning folder %s (no answer within %u seconds)\n", folderPath,
                 static_cast<unsigned>(kCallDeadlineMs / 1000));
    TracePrint(TraceModuleName, -1, 1, "Error scanning folder %s (no answer within %u seconds)\n", folderPath,
               static_cast<unsigned>(kCallDeadlineMs / 1000));
    if (countsAsFailed)
        RunTallyAddFailed();
    else
        RunTallyAddUnjudged(kFolderNotListed);
}

int WalkFolder(const char *folderPath, WalkCallback callback)
{
    return WalkTree(folderPath, callback, 0, IsWindowsNT());
}

// One folder being listed. Every folder's path is a prefix of the walk's one
// path buffer: a folder below it is listed only while it waits.
struct WalkFrame {
    size_t folderLength;  // its path's length in the buffer, with the backslash
    size_t shownLength;   // the same in the shown path's buffer
    HANDLE search;
    int wide;
    int isRoot;
};

// A folder as its volume knows it, whatever path reached it. A file index
// of 0 is no identity (some file systems answer 0 for every file): it marks a
// free slot of the set.
struct FolderIdentity {
    DWORD serial, indexHigh, indexLow;
};

// The folders one drive's walk has entered: an open-addressed hash set, at
// most half full.
struct FolderSet {
    FolderIdentity *slots;
    size_t capacity, count;
};

// The walk's own stack: as deep as paths go (the thread's stack holds a few
// hundred levels only), and its one path buffer, the exact path with the
// shown path beside it (one block: the shown form is at most kShownGrowth
// times as long).
struct WalkStack {
    WalkFrame *frames;
    int depth, capacity;
    char *path, *shown;
    size_t pathCapacity;
    int rememberFolders;
    FolderSet met;
};

static size_t FolderSlot(const FolderSet *set, const FolderIdentity *folder)
{
    unsigned long long key = (static_cast<unsigned long long>(folder->indexHigh) << 32 | folder->indexLow) ^
                             (static_cast<unsigned long long>(folder->serial) * 0x9E3779B97F4A7C15ull);
    key *= 0xBF58476D1CE4E5B9ull;
    size_t slot = static_cast<size_t>(key >> 32) & (set->capacity - 1);
    for (;;) {
        const FolderIdentity *at = &set->slots[slot];
        if ((at->indexHigh == 0 && at->indexLow == 0) ||
            (at->serial == folder->serial && at->indexHigh == folder->indexHigh && at->indexLow == folder->indexLow))
            return slot;
        slot = (slot + 1) & (set->capacity - 1);
    }
}

// Puts folder in the set. Answers 1 when it is new, 0 when it was there
// already, -1 when the set could not grow (the folder is then not remembered).
static int RememberFolder(FolderSet *set, const FolderIdentity *folder)
{
    if (set->slots != nullptr) {
        FolderIdentity *at = &set->slots[FolderSlot(set, folder)];
        if (at->indexHigh != 0 || at->indexLow != 0)
            return 0;
    }
    if (2 * (set->count + 1) > set->capacity) {
        size_t capacity = set->capacity == 0 ? 256 : 2 * set->capacity;
        FolderIdentity *slots = static_cast<FolderIdentity *>(sys::malloc(capacity * sizeof(FolderIdentity)));
        if (slots == nullptr)
            return -1;
        memset(slots, 0, capacity * sizeof(FolderIdentity));
        FolderSet grown = {slots, capacity, set->count};
        for (size_t i = 0; i < set->capacity; ++i)
            if (set->slots[i].indexHigh != 0 || set->slots[i].indexLow != 0)
                slots[FolderSlot(&grown, &set->slots[i])] = set->slots[i];
        sys::free(set->slots);
        *set = grown;
    }
    set->slots[FolderSlot(set, folder)] = *folder;
    ++set->count;
    return 1;
}

// Reads the identity of the folder whose path (folderLength bytes, ending with
// a backslash) is in the buffer. The open asks for attributes only, which
// breaks no opportunistic lock, and follows a folder swapped for a link since
// it was checked, so the link's target is what is remembered. Answers 0 when
// the identity cannot be read.
static int ReadFolderIdentity(WalkStack *stack, size_t folderLength, FolderIdentity *folder)
{
    // The root keeps its backslash ("C:\" names the root, "C:" the current folder).
    int isDriveRoot = folderLength >= 2 && stack->path[folderLength - 2] == ':';
    stack->path[folderLength] = '\0';
    if (!isDriveRoot)
        stack->path[folderLength - 1] = '\0';
    HANDLE handle = PathCreateFile(stack->path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS);
    stack->path[folderLength - 1] = '\\';
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int read = sys::GetFileInformationByHandle(handle, &info) && (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
    sys::CloseHandle(handle);
    if (read)
        *folder = FolderIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return read;
}

// 1 when the walk entered the folder whose path is in the buffer before, by
// another path (a crafted volume whose folder holds itself): it is logged and
// not entered again. A folder whose identity cannot be read, or that cannot be
// remembered for want of memory, is walked as it always was.
static int WasMetBefore(WalkStack *stack, size_t folderLength, size_t shownLength)
{
    FolderIdentity folder;
    if (!stack->rememberFolders || !ReadFolderIdentity(stack, folderLength, &folder) ||
        RememberFolder(&stack->met, &folder) != 0)
        return 0;
    FinishQueuedEntries();
    stack->shown[shownLength] = '\0';
    TracePrint(TraceModuleName, -1, 4, "Folder %s was met before and is not searched again\n", stack->shown);
    return 1;
}

// Room in the path buffer for a folder of folderLength and one entry name,
// marked or not, with a backslash (or "*.*"): no name is ever written past
// it, however deep the folder. Answers 0 when memory ran out.
static int MakePathRoom(WalkStack *stack, size_t folderLength)
{
    size_t needed = folderLength + kMarkedNameSize + 2;
    if (needed <= stack->pathCapacity)
        return 1;
    size_t capacity = stack->pathCapacity * 2 > needed ? stack->pathCapacity * 2 : needed;
    char *path = static_cast<char *>(sys::malloc((1 + kShownGrowth) * capacity));
    if (path == nullptr)
        return 0;
    if (stack->path != nullptr) {
        memcpy(path, stack->path, stack->pathCapacity);
        memcpy(path + capacity, stack->shown, kShownGrowth * stack->pathCapacity);
    }
    sys::free(stack->path);
    stack->path = path;
    stack->shown = path + capacity;
    stack->pathCapacity = capacity;
    return 1;
}

// Starts listing the folder whose path (folderLength bytes, ending with a
// backslash; shownLength bytes of the shown path) is in the buffer; its first
// entry goes to *entry. Answers 1 when it is on the stack with an entry to
// handle, 0 when it is not (empty, not listed and reported, or no memory and
// reported).
static int PushFolder(WalkStack *stack, size_t folderLength, size_t shownLength, int isRoot,
                      WIN32_FIND_DATAA *entry)
{
    if (stack->depth == stack->capacity) {
        int capacity = stack->capacity * 2;
        WalkFrame *frames = static_cast<WalkFrame *>(sys::malloc(capacity * sizeof(WalkFrame)));
        if (frames == nullptr) {
            stack->shown[shownLength] = '\0';
            ReportUnsearchedFolder(stack->shown, 1);
            return 0;
        }
        memcpy(frames, stack->frames, stack->depth * sizeof(WalkFrame));
        sys::free(stack->frames);
        stack->frames = frames;
        stack->capacity = capacity;
    }
    if (!MakePathRoom(stack, folderLength)) {
        // Out of memory is a failure wherever it strikes; the walk goes on
        // with the other folders.
        stack->shown[shownLength] = '\0';
        ReportUnsearchedFolder(stack->shown, 1);
        return 0;
    }
    if (WasMetBefore(stack, folderLength, shownLength))
        return 0;
    strcpy(stack->path + folderLength, "*.*");
    WalkFrame frame = {folderLength, shownLength, INVALID_HANDLE_VALUE, 0, isRoot};
    // The listing breaks another user's opportunistic lock on the folder and
    // would wait for it: a timed call.
    frame.search = PathFindFirstInTime(stack->path, entry, &frame.wide);
    stack->path[folderLength] = '\0';
    stack->shown[shownLength] = '\0';
    if (frame.search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT)
            ReportSilentFolder(stack->shown, isRoot);
        else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            ReportUnsearchedFolder(stack->shown, isRoot);
        return 0;
    }
    stack->frames[stack->depth++] = frame;
    return 1;
}

// A folder that is a link, a junction or a mount point stands for another
// name: following it could walk the same folders without end. Other reparse
// points (a cloud provider's or a filter's folders) are walked.
static int IsLinkedFolder(const char *path, const WIN32_FIND_DATAA *entry)
{
    if (!(entry->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    return PathIsLink(path) != 0;
}

// An entry whose name holds a byte of the exact-name marks: no Windows file
// system opens such a name, and read as a path it would name another file.
// A folder is not listed, a candidate not examined; the name is shown escaped
// after the folder's shown path (shown, with room from shownInsertion on).
static void ReportUnreachableName(char *shown, char *shownInsertion, const WIN32_FIND_DATAA *entry)
{
    size_t length = ShowText(entry->cFileName, shownInsertion, kShownGrowth * sizeof entry->cFileName);
    if (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        strcpy(shownInsertion + length, "\\");
        ReportUnsearchedFolder(shown, 0);
        return;
    }
    RunRecordWalk(kWalkFiles);
    if (!HasScannedExtension(entry->cFileName))
        return;
    FinishQueuedEntries();
    ConsolePrint("Error scanning file %s (its name holds a character Windows does not allow in names)\n", shown);
    TracePrint(TraceModuleName, -1, 1,
               "Error scanning file %s (its name holds a character Windows does not allow in names)\n", shown);
    RunRecordWalk(kWalkCandidates);
    RunRecordNotExamined(kFileNotExamined, kObjectFile, shown, kActionExamine,
                         "its name holds a character Windows does not allow in names");
}

static int WalkTree(const char *folderPath, WalkCallback callback, int isRoot, int rememberFolders)
{
    WalkStack stack = {nullptr, 0, 16, nullptr, nullptr, 0, rememberFolders, {nullptr, 0, 0}};
    size_t rootLength = strlen(folderPath);
    stack.frames = static_cast<WalkFrame *>(sys::malloc(stack.capacity * sizeof(WalkFrame)));
    if (stack.frames == nullptr || !MakePathRoom(&stack, rootLength)) {
        ReportUnsearchedFolder(folderPath, 1);
        sys::free(stack.frames);
        return 0;
    }
    // A folder to walk is named by the ANSI calls: no marked name.
    memcpy(stack.path, folderPath, rootLength + 1);
    size_t shownRootLength = ShowText(folderPath, stack.shown, kShownGrowth * stack.pathCapacity);

    WIN32_FIND_DATAA entry;
    int result = 0;
    TimedCallsBegin();  // one thread for every listing of the walk
    int pending = PushFolder(&stack, rootLength, shownRootLength, isRoot, &entry);
    while (stack.depth > 0) {
        WalkFrame *frame = &stack.frames[stack.depth - 1];
        char *insertion = stack.path + frame->folderLength;
        char *shownInsertion = stack.shown + frame->shownLength;
        if (!pending && !PathFindNext(frame->search, frame->wide, &entry)) {
            if (GetLastError() != ERROR_NO_MORE_FILES) {
                *insertion = '\0';
                *shownInsertion = '\0';
                ReportUnsearchedFolder(stack.shown, frame->isRoot);
            }
            sys::FindClose(frame->search);
            --stack.depth;
            continue;
        }
        pending = 0;
        // A name the code page could not hold comes back with '?' in it and
        // cannot be opened so: its 8.3 alias stands in, or where there is
        // none, its marked form, which the file calls reach it by. A name
        // holding a control byte (made on another system) is refused by the
        // calls: it goes by its alias too, and one holding the marks' own
        // bytes without an alias is not examined.
        *insertion = '\0';
        const char *name = entry.cFileName;
        int refused = PathNameHoldsControls(name);
        if (refused || strchr(name, '?') != nullptr) {
            if (entry.cAlternateFileName[0] != '\0')
                name = entry.cAlternateFileName;
            else if (!refused && PathMarkName(stack.path, &entry, insertion, kMarkedNameSize))
                name = insertion;
        }
        if (name != insertion && PathHoldsMarks(name)) {
            ReportUnreachableName(stack.shown, shownInsertion, &entry);
            continue;
        }
        size_t nameLength = strlen(name);
        if (nameLength >= kMarkedNameSize)
            continue;
        memmove(insertion, name, nameLength + 1);
        size_t shownLength = PathShownForm(insertion, shownInsertion, kShownGrowth * nameLength + 1);
        int isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory && (IsDotEntry(entry.cFileName) || IsLinkedFolder(stack.path, &entry)))
            continue;
        result = callback(ToolPath{stack.path, stack.shown}, &entry, isDirectory);
        if (result != 0)
            break;
        if (isDirectory) {
            insertion[nameLength] = '\\';
            shownInsertion[shownLength] = '\\';
            pending = PushFolder(&stack, frame->folderLength + nameLength + 1, frame->shownLength + shownLength + 1, 0,
                                 &entry);
        }
    }
    // A walk stopped by its callback closes what it still lists, unreported.
    while (stack.depth > 0)
        sys::FindClose(stack.frames[--stack.depth].search);
    TimedCallsEnd();
    sys::free(stack.frames);
    sys::free(stack.path);
    sys::free(stack.met.slots);
    return result;
}

static void ShowProgress(void)
{
    ConsoleShowProgress(RunWalkCount(kWalkFolders), RunWalkCount(kWalkFiles), RunWalkCount(kWalkCandidates),
                        RunTallyFound());
}

static void ReportFolder(const char *shown)
{
    RunRecordWalk(kWalkFolders);
    ShowProgress();
    ConsolePrint("%s\n", shown);
    TracePrint(TraceModuleName, -1, 4, "%s\n", shown);
}

// A candidate whose data is not on this computer (kept in the cloud, or
// offline): reading it would fetch it. Logged and counted apart.
static int IsNotOnDisk(const WIN32_FIND_DATAA *findData)
{
    const DWORD notOnDisk = FILE_ATTRIBUTE_OFFLINE | 0x00040000 /* recall on open */ |
                            0x00400000 /* recall on data access */;
    return findData != nullptr && (findData->dwFileAttributes & notOnDisk) != 0;
}

static void ReportNotOnDisk(const char *shown)
{
    TracePrint(TraceModuleName, -1, 4, "File not read, its data is not on this computer: %s\n", shown);
    RunTallyAddUnjudged(kFileNotOnDisk);
    RunRecordWalk(kWalkFiles);
    RunRecordWalk(kWalkCandidates);
}

// What the file step does with a candidate's fingerprint: reports it, and
// deletes and counts an infected file.
static void HandleFingerprint(ToolPath path, const FingerprintResult *fingerprint)
{
    int infected = 0;
    RunRecordWalk(kWalkFiles);
    RunRecordWalk(kWalkCandidates);
    ShowProgress();
    if (!ReportFingerprint(path.shown, fingerprint, &infected)) {
        // Logged too: a silent run's log is all a script has to go by.
        if (fingerprint->timedOut) {
            ConsolePrint("Error scanning file %s (no answer within %u seconds)\n", path.shown,
                         kReadDeadlineMs / 1000);
            TracePrint(TraceModuleName, -1, 1, "Error scanning file %s (no answer within %u seconds)\n", path.shown,
                       kReadDeadlineMs / 1000);
        } else {
            ConsolePrint("Error scanning file %s\n", path.shown);
            TracePrint(TraceModuleName, -1, 1, "Error scanning file %s\n", path.shown);
        }
        RunRecordNotExamined(kFileNotExamined, kObjectFile, path.shown, kActionExamine,
                             fingerprint->timedOut ? "it gave no answer in time" : "it could not be read");
        return;
    }
    if (fingerprint->allowed) {
        // The administrator said these very bytes are no worm: neither found
        // nor failed, but named, so that a fleet sees what was spared.
        ConsolePrint("Allowed: %s  Left\n", path.shown);
        RunRecordObject(kObjectFile, path.shown, kActionDelete, kResultAllowed, &fingerprint->facts);
        return;
    }
    if (!infected)
        return;

    RunTallyAddFound();
    ConsolePrint("Infected: %s  ", path.shown);
    WormFileFacts facts = fingerprint->facts;
    facts.signatureId = fingerprint->matchIndex;
    char rule[32];
    snprintf(rule, sizeof rule, "signature ID %d", static_cast<int>(fingerprint->matchIndex));
    WormObject object = {kObjectFile, path, &fingerprint->identity, &facts, rule, 0};
    switch (RemoveWormObject(&object)) {
    case kRemoveReportOnly:
        ConsolePrint("Would delete\n");
        break;
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
}

int CheckFoundEntry(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    ConsoleFlushDue();
    if (isDirectory) {
        ReportFolder(path.shown);
        return 0;
    }
    if (!HasScannedExtension(path.exact)) {
        RunRecordWalk(kWalkFiles);
        return 0;
    }
    if (IsNotOnDisk(findData)) {
        ReportNotOnDisk(path.shown);
        return 0;
    }
    FingerprintResult fingerprint;
    FingerprintWormFile(path.exact, SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &fingerprint);
    HandleFingerprint(path, &fingerprint);
    return 0;
}

static void HandleQueuedEntry(ToolPath path, int kind, const FingerprintResult *fingerprint)
{
    if (kind == kEntryFolder)
        ReportFolder(path.shown);
    else if (kind == kEntryNotOnDisk)
        ReportNotOnDisk(path.shown);
    else
        HandleFingerprint(path, fingerprint);
}

// The walk's callback with readers: queues folders and candidates in the
// walk's order. An entry that cannot be queued (no memory for its path) is
// checked here, after everything queued before it.
static int QueueFoundEntry(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    static unsigned passedOver;
    ConsoleFlushDue();
    if (!isDirectory && !HasScannedExtension(path.exact)) {
        RunRecordWalk(kWalkFiles);
        if (++passedOver % 64 == 0)
            ReadAheadKeepMoving(g_readAhead);
        return 0;
    }
    int kind = isDirectory ? kEntryFolder : IsNotOnDisk(findData) ? kEntryNotOnDisk : kEntryCandidate;
    if (!ReadAheadAdd(g_readAhead, path, kind))
        return CheckFoundEntry(path, findData, isDirectory);
    return 0;
}

int ScanAllDrivesReadingAhead(void)
{
    int result;
    // On 64-bit Windows the walk sees the real System32 and SysWOW64, each
    // once, and deletes and schedules the real files.
    FileRedirection redirection = FileRedirectionOff();
    // An empty removable drive must fail at once, not ask for a disk in a box
    // nobody may answer.
    // So must a folder given on an empty drive.
    int failAtOnce = RunWalksRemovableDrives() || RunWalkRootCount() > 0;
    UINT errorMode = failAtOnce ? sys::SetErrorMode(SEM_FAILCRITICALERRORS) : 0;
    // The deletions the walk hands over after its last folder use its thread too.
    TimedCallsBegin();
    g_readAhead = ReadAheadStart(HandleQueuedEntry);
    int (*scan)(WalkCallback) = RunWalkRootCount() > 0 ? ScanRunFolders : ScanAllDrives;
    if (g_readAhead == nullptr) {
        result = scan(CheckFoundEntry);
    } else {
        result = scan(QueueFoundEntry);
        ReadAheadStop(g_readAhead);
        g_readAhead = nullptr;
    }
    TimedCallsEnd();
    if (failAtOnce)
        sys::SetErrorMode(errorMode);
    FileRedirectionBack(redirection);
    ConsoleEndProgress();
    // The steps after the walk say nothing for a while.
    ConsoleFlush();
    return result;
}
