#include "app/restore_command.h"
#include "base/console.h"
#include "fileops/held_file.h"
#include "fileops/long_path.h"
#include "quarantine/allowed_files.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// A line on the console and in the log alike.
static void Say(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void Say(int level, const char *format, ...)
{
    char line[kShownGrowth * 2048];  // room for names shown escaped
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    ConsolePrint("%s", line);
    TracePrint(TraceModuleName, -1, level, "%s", line);
}

// Opens the quarantine's listing; says why when nothing is listed. Answers
// the count, 0 when none is kept, -1 when the quarantine cannot be read.
static int OpenKeptFiles(QuarantineListing *listing)
{
    switch (QuarantineOpenListing(listing)) {
    case kListed:
        return listing->count;
    case kListNoSystem:
        Say(4, "No file is kept on this system.\n");
        return 0;
    case kListEmpty:
        Say(4, "No file is kept.\n");
        return 0;
    case kListNoFolder:
        Say(1, "The quarantine folder cannot be used.\n");
        return -1;
    default:
        Say(1, "The quarantine folder cannot be listed.\n");
        return -1;
    }
}

int ShowKeptFiles(void)
{
    QuarantineListing listing;
    int count = OpenKeptFiles(&listing);
    if (count > 0)
        Say(4, "Kept files, oldest first:\n");
    for (int i = 0; i < count; ++i) {
        QuarantineEntry entry;
        if (QuarantineOpenEntry(&listing, i, &entry)) {
            // A record's texts are shown as text, a control byte escaped.
            const QuarantineRecord &record = entry.record;
            char path[MAX_PATH], shown[kShownGrowth * MAX_PATH], kept[kShownGrowth * 64], rule[kShownGrowth * 256];
            QuarantineShownPath(&record, path, sizeof path);
            ShowText(path, shown, sizeof shown);
            ShowText(record.kept, kept, sizeof kept);
            ShowText(record.rule, rule, sizeof rule);
            char name[kQuarantineNameMax];
            QuarantineEntryName(&listing, i, name);
            Say(4, "%3d. %s  %llu bytes  SHA-256 %s  (%s)\n     %s\n     entry %s\n", i + 1, kept,
                static_cast<unsigned long long>(record.size), record.sha256 != nullptr ? record.sha256 : "unknown",
                rule, shown, name);
        } else {
            char name[kQuarantineNameMax], shown[kShownGrowth * kQuarantineNameMax];
            QuarantineEntryName(&listing, i, name);
            ShowText(name, shown, sizeof shown);
            Say(1, "%3d. (entry %s cannot be read)\n", i + 1, shown);
        }
        QuarantineCloseEntry(&entry);
    }
    QuarantineCloseListing(&listing);
    return count < 0 ? 3 : 0;
}

// 1 when wide is a full path on a drive ("\\?\C:\...") naming no "." or
// "..", which the system would resolve past the folders held.
static int IsFullDrivePath(const wchar_t *wide)
{
    if (wcsncmp(wide, L"\\\\?\\", 4) != 0 || wide[4] == L'\0' || wide[5] != L':' || wide[6] != L'\\')
        return 0;
    for (const wchar_t *at = wide + 6; *at != L'\0'; ++at)
        if (at[0] == L'\\' && at[1] == L'.' &&
            (at[2] == L'\\' || at[2] == L'\0' || (at[2] == L'.' && (at[3] == L'\\' || at[3] == L'\0'))))
            return 0;
    return 1;
}

// 1 when a full drive path names a stream (a ':' past the drive's) or a name
// ending with a dot or a space: the one would write into an existing file,
// the other make a name that is not the one the path seems to say.
static int NamesStreamOrTrailingDot(const wchar_t *wide)
{
    for (const wchar_t *at = wide + 6; *at != L'\0'; ++at)
        if (*at == L':' || ((at[0] == L'.' || at[0] == L' ') && (at[1] == L'\\' || at[1] == L'\0')))
            return 1;
    return 0;
}

// Why a kept file could not be written back, as the refusal line says it.
static const char *WriteBackFailure(int result)
{
    switch (result) {
    case kWriteNoDigest:
        return "it has no SHA-256 to check it by";
    case kWriteEntryUnreadable:
        return "its entry cannot be read";
    case kWriteMismatch:
        return "it does not match its record";
    default:
        return "it cannot be written";
    }
}

// Puts the open entry back at wide, a full drive path: the place is held
// folder by folder and the file made new there, so the store writes only
// where the command has checked. Answers the exit code 0 or 3, having said why.
static int RestoreAt(int number, const QuarantineEntry *entry, const wchar_t *wide, const char *shown)
{
    HeldPath held;
    int hold = HoldWidePath(wide, kRefuseLinks, &held);
    const char *refusal = nullptr;
    if (hold == kHeld || hold == kHoldNotOpened)
        refusal = "a file is there already";
    else if (hold == kHoldThroughLink)
        refusal = "the path leads through a link or junction";
    else if (hold == kHoldNoAnswer)
        refusal = "no answer within 10 seconds";
    else if (hold == kHoldMissing && !HeldAllFolders(&held))
        refusal = "its folder does not exist";
    else if (hold != kHoldMissing)
        refusal = "the path cannot be reached";
    int exitCode = 3;
    if (refusal != nullptr) {
        Say(1, "Kept file %d was not restored: %s (%s).\n", number, refusal, shown);
    } else {
        // Every folder is held and none is a link; the file is made new in
        // the last one through its handle, so a folder swapped or made a
        // mount point since sends it nowhere else, and a link in its place is
        // refused rather than followed.
        HANDLE file = HeldCreateFile(&held);
        if (file == INVALID_HANDLE_VALUE) {
            Say(1, "Kept file %d was not restored: %s (%s).\n", number,
                GetLastError() == ERROR_FILE_EXISTS ? "a file is there already" : "it cannot be written", shown);
        } else {
            DWORD attributes = entry->record.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
            int written = QuarantineWriteBack(entry, file);
            if (written != kWrittenBack) {
                // Nothing of it stays: a part would pass for the file.
                MarkForDeletionByHandle(file);
                Say(1, "Kept file %d was not restored: %s (%s).\n", number, WriteBackFailure(written), shown);
            } else {
                if (!SetAttributesByHandle(file, attributes))
                    TracePrint(TraceModuleName, -1, 1, "Attributes 0x%08lX cannot be set (%s).\n", attributes, shown);
                Say(4, "Kept file %d was restored to %s.\n", number, shown);
                exitCode = 0;
            }
            sys::CloseHandle(file);
        }
    }
    ReleaseHeldPath(&held);
    return exitCode;
}

// Allows the SHA-256 of kept file number, just restored to shown.
static int AllowRestored(int number, const char *sha256, const char *shown)
{
    long status = IsSha256Text(sha256, strlen(sha256)) ? AllowOnMachine(sha256, shown) : ERROR_INVALID_DATA;
    if (status != 0) {
        Say(1, "Kept file %d was restored, but its SHA-256 could not be allowed (error %ld).\n", number, status);
        return 3;
    }
    Say(4, "SHA-256 %s is allowed on this machine: runs leave a file of these bytes (%s).\n", sha256, shown);
    return 0;
}

int RestoreKeptFile(int number, const char *name, const char *target, int allow)
{
    QuarantineListing listing;
    int count = OpenKeptFiles(&listing);
    if (count <= 0) {
        QuarantineCloseListing(&listing);
        return 3;  // OpenKeptFiles said why
    }
    int exitCode = 3;
    if (name != nullptr)
        number = QuarantineFindEntry(&listing, name) + 1;
    if (name != nullptr && number == 0) {
        Say(1, "There is no kept file %s (%d are kept).\n", name, count);
    } else if (number < 1 || number > count) {
        Say(1, "There is no kept file %d (%d are kept).\n", number, count);
    } else {
        QuarantineEntry entry;
        if (!QuarantineOpenEntry(&listing, number - 1, &entry)) {
            Say(1, "Kept file %d was not restored: its entry cannot be read.\n", number);
        } else if (entry.record.sha256 == nullptr) {
            Say(1, "Kept file %d was not restored: it has no SHA-256 to check it by.\n", number);
        } else {
            // The path as text: what the wide form reaches, a control byte escaped.
            char path[MAX_PATH], shown[kShownGrowth * MAX_PATH];
            if (target != nullptr) {
                PathShownForm(target, shown, sizeof shown);
            } else {
                QuarantineShownPath(&entry.record, path, sizeof path);
                ShowText(path, shown, sizeof shown);
            }
            wchar_t *wide = target != nullptr ? PathToWide(target) : QuarantineOriginalPath(&entry.record);
            if (wide != nullptr && !IsFullDrivePath(wide)) {
                sys::free(wide);
                wide = nullptr;
            }
            if (wide == nullptr)
                Say(1, "Kept file %d was not restored: the path must be a full path on a drive (%s).\n", number,
                    shown);
            else if (NamesStreamOrTrailingDot(wide))
                Say(1, "Kept file %d was not restored: the path names a stream, or a name ending with a dot or a "
                       "space (%s).\n",
                    number, shown);
            else
                exitCode = RestoreAt(number, &entry, wide, shown);
            if (exitCode == 0 && allow)
                exitCode = AllowRestored(number, entry.record.sha256, shown);
            sys::free(wide);
        }
        QuarantineCloseEntry(&entry);
    }
    QuarantineCloseListing(&listing);
    return exitCode;
}

int ShowAllowedFiles(void)
{
    MachineAllowed list;
    long status = ReadMachineAllowed(&list);
    if (status != 0) {
        Say(1, "The allowed files cannot be read (error %ld).\n", status);
    } else if (list.strings == nullptr || list.strings[0] == '\0') {
        Say(4, "No file is allowed on this machine.\n");
    } else {
        Say(4, "Allowed on this machine (SHA-256, where the file was restored):\n");
        // The notes are shown as text, a control byte escaped.
        for (const char *at = list.strings; *at != '\0'; at += strlen(at) + 1) {
            char shown[kShownGrowth * MAX_PATH];
            ShowText(at, shown, sizeof shown);
            Say(4, "  %s\n", shown);
        }
    }
    FreeMachineAllowed(&list);
    return status != 0 ? 3 : 0;
}

int DisallowFile(const char *sha256)
{
    long status = DisallowOnMachine(sha256);
    if (status == 0) {
        Say(4, "SHA-256 %s is no longer allowed on this machine.\n", sha256);
        return 0;
    }
    if (status == ERROR_FILE_NOT_FOUND)
        Say(1, "SHA-256 %s is not allowed on this machine.\n", sha256);
    else
        Say(1, "The allowed files cannot be changed (error %ld).\n", status);
    return 3;
}
