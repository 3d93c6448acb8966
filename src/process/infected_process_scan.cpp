#include "process/infected_process_scan.h"
#include "base/console.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "detect/read_ahead.h"
#include "detect/signatures.h"
#include "fileops/long_path.h"
#include "removal/remove_object.h"
#include "process/process_enum.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <string.h>

const char *const WormFileNames[3] = {"msccn32.exe", "mscvb32.exe", "winppr32.exe"};

static const char kDebugPrivilege[] = "SeDebugPrivilege";

static const int kMaxProcessRounds = 3;

// Deletes an infected image, the very file that was judged: the file on
// 64-bit Windows is the real one.
static void DeleteInfectedImage(const char *name, const FileIdentity *identity, const WormFileFacts *facts)
{
    char rule[32];
    snprintf(rule, sizeof rule, "signature ID %d", facts != nullptr ? static_cast<int>(facts->signatureId) : -1);
    char shown[kShownGrowth * MAX_PATH];
    ShowText(name, shown, sizeof shown);
    WormObject object = {kObjectFile, ToolPath{name, shown}, identity, facts, rule, kRemoveRealFile};
    if (RemoveWormObject(&object) == kRemoveReportOnly)
        ConsolePrint("Would delete file %s\n", shown);
}

static void DeletePendingImages(ProcessScanContext *scan)
{
    for (int i = 0; i < scan->imageCount; ++i)
        DeleteInfectedImage(scan->images[i], &scan->imageIdentities[i], &scan->imageFacts[i]);
    scan->imageCount = 0;
}

// Keeps an image for deletion once every process of the listing has ended;
// an image already kept is not kept twice. Without room it goes now.
static void KeepImageForDeletion(ProcessScanContext *scan, const char *name, const FileIdentity *identity,
                                 const WormFileFacts *facts)
{
    for (int i = 0; i < scan->imageCount; ++i)
        if (_stricmp(scan->images[i], name) == 0)
            return;
    if (scan->imageCount == kMaxPendingImages || strlen(name) >= MAX_PATH) {
        DeleteInfectedImage(name, identity, facts);
        return;
    }
    scan->imageFacts[scan->imageCount] = *facts;
    scan->imageIdentities[scan->imageCount] = *identity;
    strcpy(scan->images[scan->imageCount++], name);
}

static const char *LastBackslash(const char *text)
{
    const char *last = nullptr;
    for (; *text != '\0'; ++text)
        if (*text == '\\')
            last = text;
    return last;
}

int ScanInfectedProcesses(InfectionTest isInfected)
{
    ProcessScanContext scan;
    memset(&scan, 0, sizeof scan);
    scan.isInfected = isInfected;
    scan.anyInfected = 0;
    scan.allTerminated = 1;

    int nt = IsWindowsNT();
    scan.probeImages = nt ? 1 : 0;
    if (nt) {
        UINT length = sys::GetSystemDirectoryA(scan.systemFolders[0], MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            scan.systemFolders[0][0] = '\0';
        const char *end = LastBackslash(scan.systemFolders[0]);
        if (end != nullptr)
            snprintf(scan.systemFolders[1], MAX_PATH, "%.*s\\SysWOW64", (int)(end - scan.systemFolders[0]),
                     scan.systemFolders[0]);
    }

    // The debug privilege lets the scan open processes of other users.
    HANDLE token = nullptr;
    if (nt) {
        if (!sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            token = nullptr;
            TracePrint(TraceModuleName, -1, 4, "Cannot open current process %ld\n", (long)GetLastError());
        }
        if (!SetPrivilege(token, kDebugPrivilege, 1))
            TracePrint(TraceModuleName, -1, 4, "Cannot SetPrivilege %ld\n", (long)GetLastError());
    }

    // Every infected process of a listing is ended first and each image then
    // deleted once: a worm's watchdog pair would otherwise hold the image of
    // the first while it is deleted. A partner may start the worm again
    // between the listing and the end, so the listing is repeated until one
    // finds no infected process, three times at most.
    int listed = 0;
    for (int round = 0; round < kMaxProcessRounds; ++round) {
        scan.roundInfected = 0;
        listed = ScanProcesses(nt ? 1 : 0, CheckProcess, &scan);
        DeletePendingImages(&scan);
        // A report-only run ends no process: another listing would find the
        // same ones again.
        if (!listed || scan.roundInfected == 0 || RunIsReportOnly())
            break;
    }

    if (nt) {
        SetPrivilege(token, kDebugPrivilege, 0);
        if (token != nullptr)
            sys::CloseHandle(token);
    }

    if (scan.anyInfected) {
        // Each infected image was deleted once its processes had ended, so
        // the known names are not looked for.
        ConsolePrint("Infected process was found in memory\n");
        if (RunIsReportOnly()) {
            TracePrint(TraceModuleName, -1, 4, "%s",
                       "There were infected processes, none was ended (report-only run)\n");
            return 1;
        }
        TracePrint(TraceModuleName, -1, 4,
                   "There were infected proceses, terminated with status =%s, start delete infected process files\n",
                   scan.allTerminated ? "OK" : "NOT OK");
        return scan.allTerminated;
    }
    if (!listed) {
        // A worm may be running: the run must not end as a clean one.
        ConsolePrint("The running processes could not be listed\n");
        TracePrint(TraceModuleName, -1, 1, "%s", "The running processes could not be listed\n");
        RunTallyAddFailed();
    } else {
        ConsolePrint("Infected process was not found in memory\n");
        TracePrint(TraceModuleName, -1, 4, "%s", "No infected processes were found\n");
    }
    DeleteKnownWormFiles();
    return 1;
}

// "X:\..." or one that starts at a root ("\\server\...", a device path):
// a path that names one file wherever the tool runs.
static int IsFullPath(const char *name)
{
    char drive = name[0];
    int letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    if (letter && name[1] == ':' && name[2] == '\\')
        return 1;
    return name[0] == '\\';
}

// Only an image on a local fixed drive is opened: reading one on a share
// would connect the administrator's tool to a server a process names, and a
// removable or optical disk is not this workstation's to clean.
static int IsOnLocalFixedDrive(const char *name)
{
    if (name[0] == '\\')
        return 0;  // a share, or a device no drive letter names
    char root[4] = {name[0], ':', '\\', '\0'};
    return sys::GetDriveTypeA(root) == DRIVE_FIXED;
}

// The running image's file refuses every open for writing while it is mapped
// (a sharing violation, whatever the sharing); a file put at the image path
// after the image was renamed away (a decoy) does not. The system keeps
// naming the image by the path it was started from, so a write that opens
// tells that the file there is not what the process runs. Nothing is written.
namespace {

enum { kProbeRunning = 0, kProbeNotRunning = 1, kProbeNoAnswer = 2 };
enum { kProbeWaiting = 0, kProbeDone = 1, kProbeGivenUp = 2 };

struct ImageProbe {
    volatile LONG flag;
    int answer;
    char path[MAX_PATH];
};

}  // namespace

static int ProbeImage(const char *path)
{
    // On 64-bit Windows the image path names the real file.
    FileRedirection redirection = FileRedirectionOff();
    HANDLE file = sys::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    FileRedirectionBack(redirection);
    if (file == INVALID_HANDLE_VALUE)
        return kProbeRunning;  // mapped, or not ours to write: judged as it is
    sys::CloseHandle(file);
    return kProbeNotRunning;
}

static DWORD WINAPI ProbeInTime(void *parameter)
{
    ImageProbe *probe = static_cast<ImageProbe *>(parameter);
    probe->answer = ProbeImage(probe->path);
    if (InterlockedCompareExchange(&probe->flag, kProbeDone, kProbeWaiting) == kProbeGivenUp)
        sys::free(probe);
    return 0;
}

// The write probe on a thread of its own, with the reads' deadline: the open
// breaks another user's opportunistic lock on the file and would wait for it.
static int ProbeImageInTime(const char *path)
{
    ImageProbe *probe = static_cast<ImageProbe *>(sys::malloc(sizeof(ImageProbe)));
    HANDLE thread = nullptr;
    if (probe != nullptr) {
        probe->flag = kProbeWaiting;
        snprintf(probe->path, sizeof probe->path, "%s", path);
        DWORD threadId = 0;
        thread = sys::CreateThread(nullptr, 0, ProbeInTime, probe, 0, &threadId);
    }
    if (thread == nullptr) {
        sys::free(probe);
        return ProbeImage(path);
    }
    DWORD started = sys::GetTickCount();
    DWORD wait;
    do
        wait = WaitForSingleObject(thread, kConsoleBatchMilliseconds);
    while (wait != WAIT_OBJECT_0 && sys::GetTickCount() - started < kReadDeadlineMs);
    if (wait != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&probe->flag, kProbeGivenUp, kProbeWaiting) == kProbeWaiting) {
        sys::CloseHandle(thread);  // left behind: it frees the probe when it comes back
        return kProbeNoAnswer;
    }
    WaitForSingleObject(thread, INFINITE);  // done, or just ending
    sys::CloseHandle(thread);
    int answer = probe->answer;
    sys::free(probe);
    return answer;
}

// 1 when the image lies in the system folder itself (or its 32-bit twin).
static int InSystemFolder(const ProcessScanContext *scan, const char *name)
{
    const char *end = LastBackslash(name);
    for (const char *folder : scan->systemFolders) {
        size_t length = strlen(folder);
        if (length > 0 && static_cast<size_t>(end - name) == length && _strnicmp(name, folder, length) == 0)
            return 1;
    }
    return 0;
}

// A process the scan could not judge: counted and recorded once, with why,
// though every listing meets it again.
static void NoteProcessNotExamined(ProcessScanContext *scan, const char *shown, unsigned processId,
                                   const char *reason)
{
    for (int i = 0; i < scan->unjudgedCount; ++i)
        if (scan->unjudgedIds[i] == processId)
            return;
    if (scan->unjudgedCount < kMaxUnjudgedProcesses)
        scan->unjudgedIds[scan->unjudgedCount++] = processId;
    RunRecordNotExamined(kProcessNotHandled, kObjectProcess, shown, kActionExamine, reason);
}

// How long an ended worm process may take to let go of its image.
static const DWORD kProcessEndWaitMs = 5000;

void CheckProcess(const ListedProcess *process, void *context)
{
    ProcessScanContext *scan = static_cast<ProcessScanContext *>(context);
    const char *name = process->name;
    unsigned processId = process->processId;
    // Every line names the process by its image path as text, a control byte
    // escaped: the image's name is its maker's choice.
    char shown[kShownGrowth * MAX_PATH];
    ShowText(name, shown, sizeof shown);
    TracePrint(TraceModuleName, -1, 4, "examinate process %s (PID=0x%x)\n", shown, processId);
    // A bare image name (as some process lists give) would be looked up in
    // the tool's current folder: a file there says nothing about the
    // process, which must not be ended for it.
    if (!IsFullPath(name)) {
        TracePrint(TraceModuleName, -1, 4, "Process %s (PID=0x%x) has no full image path and is left alone\n", shown,
                   processId);
        return;
    }
    // The tool itself, started from a share as deployments do, is neither
    // judged nor a failure.
    if (processId == sys::GetCurrentProcessId())
        return;
    if (!IsOnLocalFixedDrive(name)) {
        TracePrint(TraceModuleName, -1, 4, "Process %s (PID=0x%x) is not on a local fixed drive and was not examined\n",
                   shown, processId);
        RunTallyAddFailed();  // a worm may run from there
        NoteProcessNotExamined(scan, shown, processId, "its image is not on a local fixed drive");
        return;
    }
    // No Windows file system takes a name holding the exact-name marks: read
    // as a path it would name another file than the image.
    if (PathHoldsMarks(name)) {
        TracePrint(TraceModuleName, -1, 1,
                   "Process %s (PID=0x%x) could not be examined: its image path holds a character Windows does not "
                   "allow in names\n",
                   shown, processId);
        NoteProcessNotExamined(scan, shown, processId,
                               "its image path holds a character Windows does not allow in names");
        return;
    }
    // On 64-bit Windows a 64-bit process's image path names the real file.
    FileRedirection redirection = FileRedirectionOff();
    FileIdentity identity;
    memset(&identity, 0, sizeof identity);
    // The image's size and SHA-256 come from the same timed read.
    WormFileFacts facts;
    memset(&facts, 0, sizeof facts);
    facts.signatureId = -1;
    // On the NT family the file at the path is held, sharing no deletion, for
    // the read and the write probe: it can be neither renamed nor deleted, nor
    // a folder above it renamed, so both meet the same file. An open for its
    // attributes alone breaks no opportunistic lock.
    HANDLE pin = INVALID_HANDLE_VALUE;
    int infected = kNotExamined;
    int probeImage = scan->probeImages && !InSystemFolder(scan, name);
    if (probeImage)
        pin = sys::CreateFileA(name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    // A file that is not there holds no decoy: the read says what it finds.
    DWORD pinError = pin == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    int probe = kProbeRunning;
    if (!probeImage || pin != INVALID_HANDLE_VALUE || pinError == ERROR_FILE_NOT_FOUND ||
        pinError == ERROR_PATH_NOT_FOUND) {
        infected = scan->isInfected(name, &identity, &facts);
        if (probeImage && (infected == 0 || infected == 1 || infected == kAllowedImage))
            probe = ProbeImageInTime(name);
    }
    if (pin != INVALID_HANDLE_VALUE)
        sys::CloseHandle(pin);
    FileRedirectionBack(redirection);
    if (probe == kProbeNoAnswer)
        infected = kNotExaminedInTime;
    if (probe == kProbeNotRunning) {
        // Neither judged nor ended: the file it runs was not the one read.
        TracePrint(TraceModuleName, -1, 1,
                   "Process %s (PID=0x%x) could not be examined: the file at its image path is not its running "
                   "image\n",
                   shown, (unsigned)processId);
        NoteProcessNotExamined(scan, shown, processId, "the file at its image path is not its running image");
        return;
    }
    if (infected == kNotExaminedInTime) {
        TracePrint(TraceModuleName, -1, 1, "Process %s (PID=0x%x) could not be examined: no answer within %u seconds\n",
                   shown, (unsigned)processId, (unsigned)(kReadDeadlineMs / 1000));
        NoteProcessNotExamined(scan, shown, processId, "its image gave no answer in time");
        return;
    }
    if (infected == kNotExamined) {
        TracePrint(TraceModuleName, -1, 1, "Process %s (PID=0x%x) could not be examined: its image cannot be read\n",
                   shown, (unsigned)processId);
        NoteProcessNotExamined(scan, shown, processId, "its image cannot be read");
        return;
    }
    if (!infected)
        return;
    if (infected == kAllowedImage) {
        // Judged, as any process, by the running image itself (the probe
        // above): a decoy at its path spares nothing.
        TracePrint(TraceModuleName, -1, 4, "Process %s (PID=0x%x) is allowed (signature ID %d, SHA-256 %s)\n", shown,
                   processId, static_cast<int>(facts.signatureId), facts.sha256);
        RunRecordObject(kObjectProcess, shown, kActionEnd, kResultAllowed, &facts);
        return;
    }
    TracePrint(TraceModuleName, -1, 4, "Process %s (PID=0x%x) is infection\n", shown, processId);
    RunTallyAddFound();
    if (RunIsReportOnly()) {
        ConsolePrint("Would end process %s\n", shown);
        TracePrint(TraceModuleName, -1, 4, "Would end process %s (PID=0x%x)\n", shown, processId);
        KeepImageForDeletion(scan, name, &identity, &facts);
        RunRecordObject(kObjectProcess, shown, kActionEnd, kResultReportOnly, &facts);
        scan->anyInfected = 1;
        ++scan->roundInfected;
        return;
    }

    // Ended through the handle it was named by, never opened again by its
    // id. With the right to wait as well, the image is deleted once the
    // process has really ended: on a loaded machine a second is not always
    // enough.
    int terminated = 0, waited = 0;
    if (process->handle == nullptr) {
        TracePrint(TraceModuleName, -1, 4, "cannot open infected process %s, Error=%ld\n", shown,
                   (long)process->endError);
    } else {
        BOOL result = sys::TerminateProcess(process->handle, 0);
        TracePrint(TraceModuleName, -1, 4, "Process %s terminated with status %i\n", shown, (int)result);
        terminated = result != 0;
        if (terminated)
            ConsolePrint("Ended process %s\n", shown);
        if (terminated && process->canWait) {
            DWORD wait = sys::WaitForSingleObject(process->handle, kProcessEndWaitMs);
            waited = wait == WAIT_OBJECT_0 || wait == WAIT_TIMEOUT;
        }
    }

    // A process that could not be waited for gets a moment to let go of its
    // image before it is deleted.
    if (!waited)
        sys::Sleep(1000);
    KeepImageForDeletion(scan, name, &identity, &facts);
    RunRecordObject(kObjectProcess, shown, kActionEnd, terminated ? kResultDone : kResultFailed, &facts);

    scan->anyInfected = 1;
    ++scan->roundInfected;
    if (!terminated) {
        scan->allTerminated = 0;
        RunTallyAddUnjudged(kProcessNotHandled);
    }
}

int IsFileInfected(const char *path, FileIdentity *identity, WormFileFacts *facts)
{
    // An image whose open never returns (an opportunistic lock its owner
    // holds) must not stall the run with the guard off.
    FingerprintResult result;
    FingerprintFileInTime(path, SignatureTable, &result);
    for (int i = 0; i < result.seekFailures; ++i)
        ConsolePrint("seek failed\n");
    *identity = result.identity;
    *facts = result.facts;
    facts->signatureId = result.matchIndex;
    if (result.timedOut)
        return kNotExaminedInTime;
    if (!result.examined)
        return kNotExamined;
    if (result.allowed)
        return kAllowedImage;
    return result.matchIndex != -1 ? 1 : 0;
}


void DeleteKnownWormFiles(void)
{
    char directory[264];
    UINT length = sys::GetWindowsDirectoryA(directory, 261);
    // 0 is a failure; a length past the capacity is the size the path needs.
    if (length == 0 || length >= 261) {
        // The worm's files may be there: not looking is a failed removal.
        TracePrint(TraceModuleName, -1, 4, "%s", "Cannot get the Windows directory\n");
        RunTallyAddFailed();
        return;
    }
    DeleteKnownWormFilesIn(directory, 0);
}

void DeleteKnownWormFilesIn(const char *directory, int flags)
{
    // A drive root such as "C:\" already ends with its backslash.
    size_t length = strlen(directory);
    const char *separator = length > 0 && directory[length - 1] != '\\' ? "\\" : "";

    for (const char *fileName : WormFileNames) {
        char path[264];
        int written = snprintf(path, sizeof path, "%s%s%s", directory, separator, fileName);
        if (written < 0 || (size_t)written >= sizeof path)
            continue;  // such a path cannot name a file here
        // A file that cannot be opened is there all the same.
        if (FileExist(path) == 1 || PathFileIsThere(path)) {
            RunTallyAddFound();
            ConsolePrint("found infected file %s\n", path);
            WormObject object = {kObjectKnownName, PlainPath(path), nullptr, nullptr, "known name", flags};
            if (RemoveWormObject(&object) == kRemoveReportOnly)
                ConsolePrint("Would delete file %s\n", path);
        } else {
            TracePrint(TraceModuleName, -1, 4, "file %s doesn't exist\n", path);
        }
    }
}
