// The process clean-up: both enumerators over a pretend machine (and once over
// Wine's real process list), the scan that terminates infected processes and
// deletes their images, the known worm names, and the debug privilege.
#include "base/platform.h"
#include "run/run_tally.h"
#include "process/infected_process_scan.h"
#include "process/process_enum.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string.h>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// A pretend machine behind the enumerators' entry points and the process calls

struct FakeProcess {
    DWORD id;
    std::string name;
    bool opens = true;       // OpenProcess succeeds
    bool listsModules = true;
    bool terminates = true;
    bool opensToTerminate = true;
    bool opensToWait = true;    // the right to wait is granted too
    DWORD endsAfterMs = 0;      // how long it takes to end once terminated
    HANDLE heldImage = nullptr;  // its image, held open until it has ended
    bool ended = false;          // terminated: no longer listed
    int restartsLeft = 0;        // a partner starts it again this many times
    std::string memoryName;      // what its loader data names, when not its image
    bool decoyAtImagePath = false;  // its image was renamed away and another file put at its path
};

struct FakeMachine {
    std::vector<FakeProcess> processes;
    bool hasPsapi = true, hasVdmdbg = true, hasKernel = true;
    std::string missingEntry;  // an entry point GetProcAddress does not find
    BOOL enumProcessesAnswer = TRUE;
    bool snapshotFails = false;
    size_t walk = 0;
    int loads = 0, frees = 0;
    int processHandlesOpen = 0, snapshotsOpen = 0;
    std::vector<std::string> events;  // what was done to processes, in order
    std::vector<DWORD> openAccess;
    bool unexpectedCall = false;
    int systemNames = 0;  // the system names images: 0 not (NT 4), 1 by device path (XP), 2 in full (Vista on)
    DWORD reusedId = 0;   // opened once, this id is then processes[reusedBy]'s
    size_t reusedBy = 0;
};
FakeMachine g_machine;

HMODULE const kPsapi = reinterpret_cast<HMODULE>(0x1000);
HMODULE const kVdmdbg = reinterpret_cast<HMODULE>(0x2000);
HMODULE const kKernel = reinterpret_cast<HMODULE>(0x3000);
HANDLE const kSnapshot = reinterpret_cast<HANDLE>(0x5A50);
const uintptr_t kFirstProcessHandle = 0x70000;

const FakeProcess *ProcessOfHandle(HANDLE handle)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(handle) - kFirstProcessHandle;
    return index < g_machine.processes.size() ? &g_machine.processes[index] : nullptr;
}

// The libraries are found only by their whole path in the system folder: a
// bare name is searched for, and a copy planted beside the tool found first.
HMODULE WINAPI FakeLoadLibrary(LPCSTR name)
{
    char folder[MAX_PATH];
    std::string system(folder, GetSystemDirectoryA(folder, sizeof folder));
    HMODULE module = nullptr;
    if (name == system + "\\PSAPI.DLL" && g_machine.hasPsapi)
        module = kPsapi;
    if (name == system + "\\VDMDBG.DLL" && g_machine.hasVdmdbg)
        module = kVdmdbg;
    if (module != nullptr)
        ++g_machine.loads;
    return module;
}

BOOL WINAPI FakeFreeLibrary(HMODULE module)
{
    if (module == kPsapi || module == kVdmdbg)
        ++g_machine.frees;
    else
        g_machine.unexpectedCall = true;
    return TRUE;
}

HMODULE WINAPI FakeModuleHandle(LPCSTR name)
{
    return strcmp(name, "KERNEL32.DLL") == 0 && g_machine.hasKernel ? kKernel : nullptr;
}

BOOL WINAPI FakeEnumProcesses(DWORD *ids, DWORD bytes, DWORD *returned)
{
    DWORD count = 0;
    for (const FakeProcess &p : g_machine.processes)
        if (!p.ended && (count + 1) * sizeof(DWORD) <= bytes)
            ids[count++] = p.id;
    *returned = count * sizeof(DWORD);
    return g_machine.enumProcessesAnswer;
}

BOOL WINAPI FakeEnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, DWORD *needed)
{
    const FakeProcess *p = ProcessOfHandle(process);
    if (p == nullptr || !p->listsModules || bytes < sizeof(HMODULE))
        return FALSE;
    modules[0] = reinterpret_cast<HMODULE>(0x400000);
    *needed = sizeof(HMODULE);
    return TRUE;
}

// Like the older systems: a name that does not fit is cut to the capacity
// and left without its terminator.
DWORD WINAPI FakeModuleFileName(HANDLE process, HMODULE, LPSTR name, DWORD capacity)
{
    const FakeProcess *p = ProcessOfHandle(process);
    if (p == nullptr)
        return 0;
    const std::string &named = p->memoryName.empty() ? p->name : p->memoryName;
    if (named.size() < capacity) {
        memcpy(name, named.c_str(), named.size() + 1);
        return static_cast<DWORD>(named.size());
    }
    memcpy(name, named.data(), capacity);
    return capacity;
}

// The system's names: drive X is "\Device\HarddiskVolume<X - 'A'>", so B's
// device name begins N's; a share is under "\Device\Mup".
BOOL WINAPI FakeFullImageName(HANDLE process, DWORD flags, LPSTR name, PDWORD size)
{
    const FakeProcess *p = ProcessOfHandle(process);
    if (p == nullptr || flags != 0 || p->name.size() >= *size)
        return FALSE;
    *size = static_cast<DWORD>(snprintf(name, *size, "%s", p->name.c_str()));
    return TRUE;
}
DWORD WINAPI FakeImageFileName(HANDLE process, LPSTR name, DWORD capacity)
{
    const FakeProcess *p = ProcessOfHandle(process);
    if (p == nullptr)
        return 0;
    bool share = p->name.rfind("\\\\", 0) == 0;
    return static_cast<DWORD>(share ? snprintf(name, capacity, "\\Device\\Mup%s", p->name.c_str() + 1)
                                    : snprintf(name, capacity, "\\Device\\HarddiskVolume%d%s",
                                               toupper(p->name[0]) - 'A', p->name.c_str() + 2));
}
DWORD WINAPI FakeDosDevice(LPCSTR drive, LPSTR target, DWORD capacity)
{
    return static_cast<DWORD>(snprintf(target, capacity, "\\Device\\HarddiskVolume%d", drive[0] - 'A') + 2);
}
UINT WINAPI FakeDriveType(LPCSTR root)
{
    return root[0] == 'N' ? DRIVE_REMOTE : DRIVE_FIXED;
}
DWORD WINAPI FakeOwnId()
{
    return 0x7770;
}

DWORD WINAPI NeverCalledName(HANDLE, HMODULE, LPSTR, DWORD)
{
    g_machine.unexpectedCall = true;
    return 0;
}

INT WINAPI NeverCalledVdm(DWORD, void *, LPARAM)
{
    g_machine.unexpectedCall = true;
    return 0;
}

HANDLE WINAPI FakeSnapshot(DWORD flags, DWORD processId)
{
    if (flags != TH32CS_SNAPPROCESS || processId != 0)
        g_machine.unexpectedCall = true;
    if (g_machine.snapshotFails)
        return INVALID_HANDLE_VALUE;
    g_machine.walk = 0;
    ++g_machine.snapshotsOpen;
    return kSnapshot;
}

BOOL FillEntry(PROCESSENTRY32 *entry)
{
    if (entry->dwSize != 296)
        g_machine.unexpectedCall = true;
    while (g_machine.walk < g_machine.processes.size() && g_machine.processes[g_machine.walk].ended)
        ++g_machine.walk;
    if (g_machine.walk >= g_machine.processes.size())
        return FALSE;
    const FakeProcess &p = g_machine.processes[g_machine.walk];
    entry->th32ProcessID = p.id;
    snprintf(entry->szExeFile, sizeof entry->szExeFile, "%s", p.name.c_str());
    return TRUE;
}

BOOL WINAPI FakeProcessFirst(HANDLE snapshot, PROCESSENTRY32 *entry)
{
    if (snapshot != kSnapshot)
        g_machine.unexpectedCall = true;
    g_machine.walk = 0;
    return FillEntry(entry);
}

BOOL WINAPI FakeProcessNext(HANDLE, PROCESSENTRY32 *entry)
{
    ++g_machine.walk;
    return FillEntry(entry);
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name)
{
    if (g_machine.missingEntry == name ||
        (strcmp(name, "GetProcessImageFileNameA") == 0 && g_machine.systemNames < 1) ||
        (strcmp(name, "QueryFullProcessImageNameA") == 0 && g_machine.systemNames < 2))
        return nullptr;
    struct Entry {
        HMODULE module;
        const char *name;
        void *address;
    };
    const Entry entries[] = {
        {kPsapi, "EnumProcesses", reinterpret_cast<void *>(FakeEnumProcesses)},
        {kPsapi, "EnumProcessModules", reinterpret_cast<void *>(FakeEnumProcessModules)},
        {kPsapi, "GetModuleFileNameExA", reinterpret_cast<void *>(FakeModuleFileName)},
        {kPsapi, "GetModuleBaseNameA", reinterpret_cast<void *>(NeverCalledName)},
        {kPsapi, "GetProcessImageFileNameA", reinterpret_cast<void *>(FakeImageFileName)},
        {kKernel, "QueryFullProcessImageNameA", reinterpret_cast<void *>(FakeFullImageName)},
        {kVdmdbg, "VDMEnumTaskWOWEx", reinterpret_cast<void *>(NeverCalledVdm)},
        {kKernel, "CreateToolhelp32Snapshot", reinterpret_cast<void *>(FakeSnapshot)},
        {kKernel, "Process32First", reinterpret_cast<void *>(FakeProcessFirst)},
        {kKernel, "Process32Next", reinterpret_cast<void *>(FakeProcessNext)},
    };
    for (const Entry &e : entries)
        if (e.module == module && strcmp(e.name, name) == 0)
            return reinterpret_cast<FARPROC>(e.address);
    return nullptr;
}

HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    g_machine.openAccess.push_back(access);
    if (inherit)
        g_machine.unexpectedCall = true;
    for (size_t i = 0; i < g_machine.processes.size(); ++i) {
        if (g_machine.processes[i].id != id)
            continue;
        if (!g_machine.processes[i].opens)
            break;
        if ((access & PROCESS_TERMINATE) && !g_machine.processes[i].opensToTerminate)
            break;
        if ((access & SYNCHRONIZE) && !g_machine.processes[i].opensToWait)
            break;
        if (id == g_machine.reusedId && g_machine.reusedId != 0) {
            g_machine.reusedId = 0;  // the next open finds another process
            g_machine.processes[i].id = g_machine.processes[g_machine.reusedBy].id;
            g_machine.processes[g_machine.reusedBy].id = id;
        }
        ++g_machine.processHandlesOpen;
        return reinterpret_cast<HANDLE>(kFirstProcessHandle + i);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

BOOL WINAPI FakeTerminateProcess(HANDLE process, UINT exitCode)
{
    const FakeProcess *p = ProcessOfHandle(process);
    if (p == nullptr || exitCode != 0)
        g_machine.unexpectedCall = true;
    g_machine.events.push_back("terminate " + (p ? p->name : std::string("?")));
    if (p == nullptr || !p->terminates)
        return FALSE;
    // A watchdog partner brings it back for the next listing.
    FakeProcess *listed = const_cast<FakeProcess *>(p);
    if (listed->restartsLeft > 0)
        --listed->restartsLeft;
    else
        listed->ended = true;
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle)
{
    if (handle == kSnapshot) {
        --g_machine.snapshotsOpen;
        return TRUE;
    }
    if (ProcessOfHandle(handle) != nullptr) {
        --g_machine.processHandlesOpen;
        return TRUE;
    }
    return CloseHandle(handle);
}

// A process ends when it has had its time: then it lets go of its image.
DWORD WINAPI FakeWaitForProcess(HANDLE handle, DWORD milliseconds)
{
    FakeProcess *p = const_cast<FakeProcess *>(ProcessOfHandle(handle));
    if (p == nullptr)
        return WaitForSingleObject(handle, milliseconds);
    g_machine.events.push_back("wait " + std::to_string(milliseconds));
    if (milliseconds < p->endsAfterMs)
        return WAIT_TIMEOUT;
    if (p->heldImage != nullptr) {
        CloseHandle(p->heldImage);
        p->heldImage = nullptr;
    }
    return WAIT_OBJECT_0;
}

void WINAPI FakeSleep(DWORD milliseconds)
{
    g_machine.events.push_back("sleep " + std::to_string(milliseconds));
}

// A running image refuses every open for writing, as a mapped file does; a
// decoy at a renamed image's path does not.
HANDLE WINAPI FakeImageOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile)
{
    for (const FakeProcess &p : g_machine.processes)
        if (!p.ended && !p.decoyAtImagePath && (access & GENERIC_WRITE) && _stricmp(p.name.c_str(), path) == 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    return CreateFileA(path, access, share, security, disposition, flags, templateFile);
}

// Every call of both enumerators and of the scan's process work goes to the
// pretend machine.
struct PretendMachineCalls {
    ScopedSysCall<decltype(sys::LoadLibraryA)> load{sys::LoadLibraryA, FakeLoadLibrary};
    ScopedSysCall<decltype(sys::FreeLibrary)> free{sys::FreeLibrary, FakeFreeLibrary};
    ScopedSysCall<decltype(sys::GetModuleHandleA)> module{sys::GetModuleHandleA, FakeModuleHandle};
    ScopedSysCall<decltype(sys::GetProcAddress)> entry{sys::GetProcAddress, FakeGetProcAddress};
    ScopedSysCall<decltype(sys::OpenProcess)> open{sys::OpenProcess, FakeOpenProcess};
    ScopedSysCall<decltype(sys::TerminateProcess)> terminate{sys::TerminateProcess, FakeTerminateProcess};
    ScopedSysCall<decltype(sys::CloseHandle)> close{sys::CloseHandle, FakeCloseHandle};
    ScopedSysCall<decltype(sys::Sleep)> sleep{sys::Sleep, FakeSleep};
    ScopedSysCall<decltype(sys::WaitForSingleObject)> wait{sys::WaitForSingleObject, FakeWaitForProcess};
    ScopedSysCall<decltype(sys::QueryDosDeviceA)> devices{sys::QueryDosDeviceA, FakeDosDevice};
    ScopedSysCall<decltype(sys::GetDriveTypeA)> drives{sys::GetDriveTypeA, FakeDriveType};
    ScopedSysCall<decltype(sys::GetCurrentProcessId)> ownId{sys::GetCurrentProcessId, FakeOwnId};
    ScopedSysCall<decltype(sys::CreateFileA)> images{sys::CreateFileA, FakeImageOpen};
};

struct Seen {
    std::string name;
    DWORD id;
};

void RecordProcess(const ListedProcess *process, void *context)
{
    static_cast<std::vector<Seen> *>(context)->push_back({process->name, process->processId});
}

class EnumeratorTest : public ::testing::Test {
protected:
    void SetUp() override { g_machine = FakeMachine(); }
    void TearDown() override
    {
        EXPECT_FALSE(g_machine.unexpectedCall);
        EXPECT_EQ(g_machine.processHandlesOpen, 0);
        EXPECT_EQ(g_machine.snapshotsOpen, 0);
        EXPECT_EQ(g_machine.loads, g_machine.frees) << "a library was left loaded";
    }
    PretendMachineCalls calls_;
    std::vector<Seen> seen_;
};

TEST_F(EnumeratorTest, PsapiReportsFullNamesInListOrderAndSkipsWhatItCannotRead)
{
    std::string longName = "C:\\" + std::string(MAX_PATH, 'x') + ".exe";
    std::string longest = "C:\\" + std::string(MAX_PATH - 8, 'y') + ".exe";  // 259 characters
    g_machine.processes = {
        {8, "C:\\WINDOWS\\system32\\smss.exe"},
        {0x24, "C:\\gone.exe", false},                   // exited since the listing
        {0x30, "C:\\noaccess.exe", true, false},          // modules cannot be read
        {0x44, ""},                                       // no name
        {0x48, longName},                                 // cut: names another file
        {0x4C, longest},
        {0x50, "C:\\Temp\\msccn32.exe"},
    };
    EXPECT_EQ(ScanProcesses(1, RecordProcess, &seen_), 1);
    ASSERT_EQ(seen_.size(), 3u);
    EXPECT_EQ(seen_[0].name, "C:\\WINDOWS\\system32\\smss.exe");
    EXPECT_EQ(seen_[0].id, 8u);
    EXPECT_EQ(seen_[1].name, longest);
    EXPECT_EQ(seen_[2].name, "C:\\Temp\\msccn32.exe");
    EXPECT_EQ(seen_[2].id, 0x50u);
    // Where the system names no image, the module list is read.
    EXPECT_EQ(g_machine.openAccess[0],
              static_cast<DWORD>(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE));
}

TEST_F(EnumeratorTest, PsapiIsReadyOnlyWithAllFiveEntryPointsAndAlwaysReleasesItsLibraries)
{
    g_machine.processes = {{8, "C:\\a.exe"}};
    {
        g_machine.hasVdmdbg = false;  // PSAPI loads, VDMDBG does not
        PsapiProcessEnumerator enumerator;
        EXPECT_EQ(enumerator.ready, 0u);
        EXPECT_EQ(enumerator.Enumerate(RecordProcess, &seen_), 0);
    }
    EXPECT_EQ(g_machine.loads, 1);
    EXPECT_EQ(g_machine.frees, 1);
    g_machine.hasVdmdbg = true;
    for (const char *entry : {"EnumProcesses", "GetModuleFileNameExA", "EnumProcessModules", "VDMEnumTaskWOWEx",
                              "GetModuleBaseNameA"}) {
        g_machine.missingEntry = entry;
        // Without PSAPI, Tool Help stands in.
        EXPECT_EQ(ScanProcesses(1, RecordProcess, &seen_), 1) << entry;
    }
    EXPECT_EQ(seen_.size(), 5u);
    seen_.clear();

    // A failed listing, and an enumerator that is never run, let go too.
    g_machine.missingEntry.clear();
    g_machine.enumProcessesAnswer = FALSE;
    {
        PsapiProcessEnumerator enumerator;
        EXPECT_EQ(enumerator.ready, 1u);
        EXPECT_EQ(enumerator.Enumerate(RecordProcess, &seen_), 0);
        EXPECT_EQ(g_machine.loads, g_machine.frees);
        EXPECT_EQ(enumerator.Enumerate(RecordProcess, &seen_), 0);  // spent
    }
    { PsapiProcessEnumerator unused; }
    g_machine.hasPsapi = false;
    EXPECT_EQ(ScanProcesses(1, RecordProcess, &seen_), 1);  // Tool Help
    g_machine.hasKernel = false;
    seen_.clear();
    EXPECT_EQ(ScanProcesses(1, RecordProcess, &seen_), 0);  // no list at all
    EXPECT_TRUE(seen_.empty());
}

TEST_F(EnumeratorTest, ToolhelpWalksTheSnapshotAndClosesIt)
{
    g_machine.processes = {{0, "[System Process]"}, {4, "C:\\WINDOWS\\EXPLORER.EXE"}, {0x1F8, "mscvb32.exe"}};
    EXPECT_EQ(ScanProcesses(0, RecordProcess, &seen_), 1);
    ASSERT_EQ(seen_.size(), 3u);
    EXPECT_EQ(seen_[1].name, "C:\\WINDOWS\\EXPLORER.EXE");
    EXPECT_EQ(seen_[2].id, 0x1F8u);
    EXPECT_EQ(g_machine.loads, 0);  // the 9x way loads nothing

    seen_.clear();
    g_machine.processes.clear();
    EXPECT_EQ(ScanProcesses(0, RecordProcess, &seen_), 1);
    EXPECT_TRUE(seen_.empty());

    g_machine.snapshotFails = true;  // nothing to walk, nothing to close
    EXPECT_EQ(ScanProcesses(0, RecordProcess, &seen_), 0);

    g_machine.snapshotFails = false;
    for (const char *entry : {"CreateToolhelp32Snapshot", "Process32First", "Process32Next"}) {
        g_machine.missingEntry = entry;
        ToolhelpProcessEnumerator enumerator;
        EXPECT_EQ(enumerator.ready, 0u) << entry;
        EXPECT_EQ(enumerator.Enumerate(RecordProcess, &seen_), 0);
    }
    g_machine.missingEntry.clear();
    g_machine.hasKernel = false;
    EXPECT_EQ(ScanProcesses(0, RecordProcess, &seen_), 0);
}

// Wine's own process list, with the libraries counted.
int g_realLoads, g_realFrees;
HMODULE WINAPI CountedLoadLibrary(LPCSTR name)
{
    HMODULE module = LoadLibraryA(name);
    g_realLoads += module != nullptr;
    return module;
}
BOOL WINAPI CountedFreeLibrary(HMODULE module)
{
    ++g_realFrees;
    return FreeLibrary(module);
}

// As XP, without the full name query: the device path is given back its drive.
FARPROC WINAPI NoFullNameQuery(HMODULE module, LPCSTR name)
{
    return strcmp(name, "QueryFullProcessImageNameA") == 0 ? nullptr : GetProcAddress(module, name);
}

TEST(RealProcessListTest, EveryWayFindsThisVeryProcess)
{
    ScopedSysCall<decltype(sys::LoadLibraryA)> load(sys::LoadLibraryA, CountedLoadLibrary);
    ScopedSysCall<decltype(sys::FreeLibrary)> free(sys::FreeLibrary, CountedFreeLibrary);
    char ownPath[MAX_PATH];
    GetModuleFileNameA(nullptr, ownPath, sizeof ownPath);
    for (uint32_t useNt : {1u, 0u, 2u}) {
        ScopedSysCall<decltype(sys::GetProcAddress)> xp(sys::GetProcAddress,
                                                        useNt == 2 ? NoFullNameQuery : sys::GetProcAddress);
        std::vector<Seen> seen;
        EXPECT_EQ(ScanProcesses(useNt, RecordProcess, &seen), 1);
        const Seen *self = nullptr;
        for (const Seen &s : seen)
            if (s.id == GetCurrentProcessId())
                self = &s;
        ASSERT_NE(self, nullptr) << "useNt=" << useNt;
        // The image's whole path every way, as the system names it.
        EXPECT_EQ(_stricmp(self->name.c_str(), ownPath), 0) << self->name;
    }
    EXPECT_EQ(g_realLoads, 4);
    EXPECT_EQ(g_realFrees, 4);
}

// ---------------------------------------------------------------------------
// The scan

BOOL WINAPI ReportedVersion(LPOSVERSIONINFOA info);
DWORD g_platform = VER_PLATFORM_WIN32_NT;
BOOL WINAPI ReportedVersion(LPOSVERSIONINFOA info)
{
    info->dwPlatformId = g_platform;
    return TRUE;
}

std::string g_windowsDir;
UINT WINAPI FakeWindowsDirectory(LPSTR buffer, UINT size)
{
    if (g_windowsDir.size() >= size)
        return static_cast<UINT>(g_windowsDir.size() + 1);
    strcpy(buffer, g_windowsDir.c_str());
    return static_cast<UINT>(g_windowsDir.size());
}

// The infection test of these tests: a name with "worm" in it.
std::vector<std::string> g_judged;  // every path it was asked about
int NamedWorm(const char *path, FileIdentity *identity, WormFileFacts *facts)
{
    g_judged.push_back(path);
    IdentityOfFile(path, identity);
    facts->signatureId = 0;
    if (strstr(path, "allowed") != nullptr)
        return kAllowedImage;
    return strstr(path, "worm") != nullptr;
}

int g_tokenOpens;
BOOL WINAPI RecordTokenOpen(HANDLE, DWORD, PHANDLE)
{
    ++g_tokenOpens;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI RecordPrivilegeLookup(LPCSTR, LPCSTR, PLUID)
{
    ++g_tokenOpens;
    return FALSE;
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_machine = FakeMachine();
        g_platform = VER_PLATFORM_WIN32_NT;
        g_windowsDir = scratch_.Path();
        g_tokenOpens = 0;
        TraceSetOutputFile(scratch_.File("trace.log").c_str(), "a+");
    }
    void TearDown() override
    {
        DetachTraceFile();
        EXPECT_FALSE(g_machine.unexpectedCall);
        EXPECT_EQ(g_machine.processHandlesOpen, 0);
        EXPECT_EQ(g_machine.loads, g_machine.frees);
    }

    // The scan's own log lines, without those of the deletion routine.
    std::vector<std::string> StepLines() { return StepLogLines(scratch_.File("trace.log")); }
    std::string Worm(const char *name)
    {
        std::string path = scratch_.File(name);
        WriteFileBytes(path, "not really a worm");
        return path;
    }

    ScratchFolder scratch_;
    CapturedStdout stdout_;
    PretendMachineCalls calls_;
    ScopedSysCall<decltype(sys::GetVersionExA)> version_{sys::GetVersionExA, ReportedVersion};
    ScopedSysCall<decltype(sys::GetWindowsDirectoryA)> windowsDir_{sys::GetWindowsDirectoryA, FakeWindowsDirectory};
};

TEST_F(ScanTest, AnInfectedProcessIsTerminatedThenItsImageDeletedOnceItHasEnded)
{
    std::string image = Worm("worm.exe");
    g_machine.processes = {{0x10, "C:\\windows\\explorer.exe"}, {0x2C, image}};
    unsigned found = RunTallyFound(), failed = RunTallyFailed(), pending = RunTallyPendingReboot();

    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);

    EXPECT_EQ(g_machine.events, (std::vector<std::string>{"terminate " + image, "wait 5000"}));
    EXPECT_FALSE(FileExists(image));
    EXPECT_EQ(RunTallyFound(), found + 1);
    EXPECT_EQ(RunTallyFailed(), failed);
    EXPECT_EQ(RunTallyPendingReboot(), pending);
    EXPECT_EQ(stdout_.Text(), "Ended process " + image + "\nInfected process was found in memory\n");
    // The known names are not looked for once a process was infected.
    EXPECT_EQ(StepLines(), (std::vector<std::string>{
                               "examinate process C:\\windows\\explorer.exe (PID=0x10)",
                               "examinate process " + image + " (PID=0x2c)",
                               "Process " + image + " (PID=0x2c) is infection",
                               "Process " + image + " terminated with status 1",
                               "Deleting file \"" + image + "\", result=1",
                               // Listed again: no infected process is left.
                               "examinate process C:\\windows\\explorer.exe (PID=0x10)",
                               "There were infected proceses, terminated with status =OK, start delete infected "
                               "process files",
                           }));
    const std::vector<DWORD> &opens = g_machine.openAccess;
    EXPECT_NE(std::find(opens.begin(), opens.end(),
                        static_cast<DWORD>(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE)),
              opens.end());
}

// A worm that renamed its running image and left a clean decoy at its path:
// the file there opens for writing, so it is not what the process runs. Not
// judged clean, never ended: counted as not examined. Windows 9x is not asked.
TEST_F(ScanTest, AProcessWhoseImagePathHoldsADecoyIsNotExaminedNorEnded)
{
    for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
        std::string decoy = Worm("svc.exe"), worm = Worm("worm.exe");
        g_machine = FakeMachine();
        g_platform = platform;
        g_machine.processes = {{0x30, decoy}, {0x34, worm}};
        g_machine.processes[0].decoyAtImagePath = g_machine.processes[1].decoyAtImagePath = true;
        unsigned unjudged = RunTallyUnjudged(kProcessNotHandled);

        ScanInfectedProcesses(NamedWorm);

        bool nt = platform == VER_PLATFORM_WIN32_NT;
        EXPECT_EQ(g_machine.events.empty(), nt);
        EXPECT_EQ(RunTallyUnjudged(kProcessNotHandled), unjudged + (nt ? 2 : 0));
        EXPECT_EQ(FileExists(worm), nt);
    }
    std::vector<std::string> lines = StepLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) {
                                return line.find("(PID=0x34) could not be examined: the file at its image path is not "
                                                 "its running image") != std::string::npos;
                            }),
              1);
}

// A process whose image's bytes are allowed runs on, named in the log and
// recorded, counted neither found nor failed; where a decoy stands at its
// path, the allowed bytes are not what it runs: not examined, as any other.
TEST_F(ScanTest, AnAllowedImageRunsOnUnlessADecoyStandsAtItsPath)
{
    for (bool decoy : {false, true}) {
        std::string image = Worm(decoy ? "allowed-decoy.exe" : "allowed.exe");
        g_machine = FakeMachine();
        g_machine.processes = {{0x40, image}};
        g_machine.processes[0].decoyAtImagePath = decoy;
        unsigned found = RunTallyFound(), failed = RunTallyFailed(), unjudged = RunTallyUnjudged(kProcessNotHandled);

        ScanInfectedProcesses(NamedWorm);

        EXPECT_TRUE(g_machine.events.empty());
        EXPECT_TRUE(FileExists(image));
        EXPECT_EQ(RunTallyFound(), found);
        EXPECT_EQ(RunTallyFailed(), failed);
        EXPECT_EQ(RunTallyUnjudged(kProcessNotHandled), unjudged + (decoy ? 1 : 0));
        std::vector<std::string> lines = StepLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "Process " + image + " (PID=0x40) is allowed (signature ID 0, SHA-256 )"),
                  decoy ? 0 : 1);
    }
}

// However the system names images (in full, by device path, not at all), a
// process is judged by the system's name rather than its memory's, and ended
// through the handle that named it though its id is another's by then; an
// image off the local fixed drives is never opened and fails the run; the
// tool itself is left alone.
TEST_F(ScanTest, AProcessIsJudgedByTheSystemsNameAndEndedThroughTheHandleThatNamedIt)
{
    const std::string notepad = "C:\\windows\\notepad.exe", share = "\\\\server\\share\\x.exe";
    const std::string network = "N:\\apps\\x.exe", tool = "\\\\server\\tools\\T-Vornik.exe";
    struct Case {
        int systemNames;
        DWORD queryRight;
        bool memoryNamesStandIn;
    } cases[] = {{2, PROCESS_QUERY_LIMITED_INFORMATION, false},
                 {1, PROCESS_QUERY_INFORMATION, false},
                 {0, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, true}};
    for (const Case &c : cases) {
        std::string worm = Worm("worm.exe");
        g_machine = FakeMachine();
        g_machine.systemNames = c.systemNames;
        g_machine.processes = {{0x20, worm}, {0x24, notepad}, {0x28, share}, {0x2C, network}, {0x7770, tool},
                               {0x99, "C:\\windows\\explorer.exe"}};
        g_machine.processes[0].memoryName = notepad;
        g_machine.processes[1].memoryName = worm;
        g_machine.processes[5].ended = true;  // not listed: it takes the worm's id
        g_machine.reusedId = 0x20;
        g_machine.reusedBy = 5;
        g_judged.clear();
        RunRecordFree();
        unsigned failed = RunTallyFailed();

        EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);

        EXPECT_EQ(g_machine.events,
                  (std::vector<std::string>{"terminate " + (c.memoryNamesStandIn ? notepad : worm), "wait 5000"}));
        EXPECT_EQ(g_machine.openAccess[0], c.queryRight | PROCESS_TERMINATE | SYNCHRONIZE);
        for (const std::string &away : {share, network, tool})
            EXPECT_EQ(std::count(g_judged.begin(), g_judged.end(), away), 0) << away;
        EXPECT_EQ(RunTallyFailed(), failed + 4);  // the share and the network drive, in both listings
        // Each is one object not examined, however many listings met it.
        std::vector<std::string> objects = NotExaminedObjects(kObjectProcess);
        const std::string offDrive = ": its image is not on a local fixed drive";
        EXPECT_EQ(std::count(objects.begin(), objects.end(), network + offDrive), 1);
        EXPECT_EQ(std::count_if(objects.begin(), objects.end(),
                                [&](const std::string &o) { return o.find(offDrive) != std::string::npos; }),
                  2);
        std::vector<std::string> lines = StepLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "Process " + share + " (PID=0x28) is not on a local fixed drive and was not examined"),
                  lines.end());
    }
}

// A loaded machine: the ended process holds its image for three seconds. It
// is deleted now, not at the restart. One that cannot be waited for gets the
// one-second pause.
TEST_F(ScanTest, AProcessSlowToEndIsWaitedForAndOneThatCannotBeWaitedForGetsAPause)
{
    std::string slow = Worm("slowworm.exe");
    std::string unwaitable = Worm("unwaitableworm.exe");
    FakeProcess slowProcess{0x40, slow};
    slowProcess.endsAfterMs = 3000;
    slowProcess.heldImage = CreateFileA(slow.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(slowProcess.heldImage, INVALID_HANDLE_VALUE);
    FakeProcess unwaitableProcess{0x44, unwaitable};
    unwaitableProcess.opensToWait = false;
    g_machine.processes = {slowProcess, unwaitableProcess};
    unsigned pending = RunTallyPendingReboot();

    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);

    EXPECT_EQ(g_machine.events, (std::vector<std::string>{"terminate " + slow, "wait 5000", "terminate " + unwaitable,
                                                          "sleep 1000"}));
    EXPECT_FALSE(FileExists(slow));
    EXPECT_FALSE(FileExists(unwaitable));
    EXPECT_EQ(RunTallyPendingReboot(), pending);
    std::vector<DWORD> opensToEnd;  // the enumerator's own opens aside
    for (DWORD access : g_machine.openAccess)
        if (access & PROCESS_TERMINATE)
            opensToEnd.push_back(access & (PROCESS_TERMINATE | SYNCHRONIZE));
    EXPECT_EQ(opensToEnd, (std::vector<DWORD>{PROCESS_TERMINATE | SYNCHRONIZE, PROCESS_TERMINATE | SYNCHRONIZE,
                                               PROCESS_TERMINATE}));
    EXPECT_EQ(g_machine.processHandlesOpen, 0);
}

TEST_F(ScanTest, AFailedTerminationMakesTheStatusNotOkButTheImageIsStillDeleted)
{
    std::string first = Worm("worm1.exe");
    std::string second = Worm("worm2.exe");
    std::string third = Worm("worm3.exe");
    g_machine.processes = {{0x20, first, true, true, false}, {0x24, second, true, true, true, false}, {0x28, third}};

    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 0);

    // The first and second stay listed, so the listing is tried three times.
    std::vector<std::string> firstRound(g_machine.events.begin(), g_machine.events.begin() + 5);
    EXPECT_EQ(firstRound, (std::vector<std::string>{"terminate " + first, "sleep 1000", "sleep 1000",
                                                    "terminate " + third, "wait 5000"}));
    EXPECT_EQ(g_machine.events.size(), 11u);
    for (const std::string &image : {first, second, third})
        EXPECT_FALSE(FileExists(image)) << image;
    std::vector<std::string> lines = StepLines();
    auto count = [&lines](const std::string &line) { return std::count(lines.begin(), lines.end(), line); };
    EXPECT_EQ(count("Process " + first + " terminated with status 0"), 3);
    EXPECT_EQ(count("cannot open infected process " + second + ", Error=87"), 3);
    EXPECT_EQ(count("Deleting file \"" + second + "\", result=1"), 1);
    EXPECT_EQ(count("Deleting file \"" + third + "\", result=1"), 1);
    EXPECT_EQ(lines.back(),
              "There were infected proceses, terminated with status =NOT OK, start delete infected process files");
}

// A worm's watchdog pair: both are ended before the image is deleted, once,
// now (the second would hold it otherwise); one that a partner starts again
// is met in the next listing.
TEST_F(ScanTest, AWormPairIsEndedBeforeItsImageIsDeletedOnceAndARestartedOneIsMetAgain)
{
    std::string image = Worm("worm.exe");
    FakeProcess first{0x30, image}, second{0x34, image};
    second.heldImage = CreateFileA(image.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    g_machine.processes = {first, second};
    unsigned found = RunTallyFound(), pending = RunTallyPendingReboot();
    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);
    EXPECT_EQ(RunTallyFound(), found + 2);
    EXPECT_EQ(RunTallyPendingReboot(), pending);  // no needless restart
    std::vector<std::string> lines = StepLines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[6], "Deleting file \"" + image + "\", result=1");
    EXPECT_FALSE(FileExists(image));

    std::string again = Worm("againworm.exe");
    FakeProcess restarted{0x38, again};
    restarted.restartsLeft = 1;
    g_machine.processes = {restarted};
    g_machine.events.clear();
    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);
    EXPECT_EQ(g_machine.events, (std::vector<std::string>{"terminate " + again, "wait 5000", "terminate " + again,
                                                          "wait 5000"}));
}

TEST_F(ScanTest, WithNoInfectedProcessTheKnownNamesAreDeletedWhateverTheyHold)
{
    WriteFileBytes(scratch_.File("winppr32.exe"), "anything at all");
    g_machine.processes = {{0x10, "C:\\windows\\explorer.exe"}};
    unsigned found = RunTallyFound();

    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);

    std::string winppr = scratch_.File("winppr32.exe");
    EXPECT_FALSE(FileExists(winppr));
    EXPECT_EQ(RunTallyFound(), found + 1);
    EXPECT_EQ(stdout_.Text(), "Infected process was not found in memory\nfound infected file " + winppr + "\n");
    EXPECT_EQ(StepLines(), (std::vector<std::string>{
                               "examinate process C:\\windows\\explorer.exe (PID=0x10)",
                               "No infected processes were found",
                               "file " + scratch_.File("msccn32.exe") + " doesn't exist",
                               "file " + scratch_.File("mscvb32.exe") + " doesn't exist",
                               "Deleting file \"" + winppr + "\", result=1",
                           }));
}

TEST_F(ScanTest, AWindowsFolderAtADriveRootGetsNoSecondBackslash)
{
    g_windowsDir = "C:\\";
    DeleteKnownWormFiles();
    EXPECT_EQ(StepLines(), (std::vector<std::string>{"file C:\\msccn32.exe doesn't exist",
                                                     "file C:\\mscvb32.exe doesn't exist",
                                                     "file C:\\winppr32.exe doesn't exist"}));
    // A folder the system cannot hand over is said so, not searched.
    g_windowsDir = std::string(300, 'w');
    DeleteKnownWormFiles();
    EXPECT_EQ(StepLines().back(), "Cannot get the Windows directory");
}

TEST_F(ScanTest, WithoutPsapiToolHelpListsAndWithoutAnyListTheRunFails)
{
    g_machine.hasVdmdbg = false;
    std::string image = Worm("worm.exe");
    g_machine.processes = {{0x2C, image}};
    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);
    EXPECT_EQ(g_machine.events, (std::vector<std::string>{"terminate " + image, "wait 5000"}));

    // No list at all: a worm may still run, so the step says so and fails.
    g_machine.hasKernel = false;
    g_machine.events.clear();
    unsigned failed = RunTallyFailed();
    CapturedStdout out;
    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);
    EXPECT_TRUE(g_machine.events.empty());
    EXPECT_EQ(out.Text(), "The running processes could not be listed\n");
    EXPECT_EQ(RunTallyFailed(), failed + 1);
    EXPECT_EQ(StepLines().back().rfind("file ", 0), 0u);  // the known names are still looked for
    EXPECT_NE(ReadWholeFile(scratch_.File("trace.log")).find("The running processes could not be listed\r\n"),
              std::string::npos);
}

TEST_F(ScanTest, Windows9xUsesToolHelpAndLeavesTheTokenAlone)
{
    g_platform = VER_PLATFORM_WIN32_WINDOWS;
    ScopedSysCall<decltype(sys::OpenProcessToken)> token(sys::OpenProcessToken, RecordTokenOpen);
    ScopedSysCall<decltype(sys::LookupPrivilegeValueA)> lookup(sys::LookupPrivilegeValueA, RecordPrivilegeLookup);
    std::string image = Worm("worm.exe");
    // A bare name, as Tool Help gives on NT-family systems, names no file.
    g_machine.processes = {{0xFFF1, image}, {0xFFF2, "worm.exe"}, {0xFFF3, "C:worm.exe"}};
    EXPECT_EQ(ScanInfectedProcesses(NamedWorm), 1);
    EXPECT_EQ(g_tokenOpens, 0);
    EXPECT_EQ(g_machine.loads, 0);
    EXPECT_FALSE(FileExists(image));
    EXPECT_EQ(g_machine.events, (std::vector<std::string>{"terminate " + image, "wait 5000"}));
    std::vector<std::string> lines = StepLines();
    ASSERT_EQ(lines.size(), 13u);  // the bare names are listed again in the second listing
    EXPECT_EQ(lines[0], "examinate process " + image + " (PID=0xfff1)");
    EXPECT_EQ(lines[4], "Process worm.exe (PID=0xfff2) has no full image path and is left alone");
    EXPECT_EQ(lines[6], "Process C:worm.exe (PID=0xfff3) has no full image path and is left alone");
    EXPECT_EQ(lines[7], "Deleting file \"" + image + "\", result=1");
}

TEST_F(ScanTest, ATokenThatCannotBeOpenedIsLoggedAndTheScanGoesOn)
{
    ScopedSysCall<decltype(sys::OpenProcessToken)> token(sys::OpenProcessToken, RecordTokenOpen);
    g_machine.processes = {{0x10, "C:\\windows\\explorer.exe"}};
    ScanInfectedProcesses(NamedWorm);
    std::vector<std::string> lines = StepLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Cannot open current process 5");
    EXPECT_EQ(lines[1].compare(0, 20, "Cannot SetPrivilege "), 0) << lines[1];
    EXPECT_EQ(lines[2], "examinate process C:\\windows\\explorer.exe (PID=0x10)");
}

TEST(InfectionTest, OnlyAReadableFileWithAFingerprintIsInfected)
{
    ScratchFolder scratch;
    std::string worm = scratch.File("msccn32.exe");
    std::string clean = scratch.File("clean.exe");
    WriteFileBytes(worm, WormLike(1));
    WriteFileBytes(clean, PlainBytes(0x4000, 7));
    FileIdentity identity, expected;
    IdentityOfFile(worm, &expected);
    WormFileFacts facts;
    EXPECT_EQ(IsFileInfected(worm.c_str(), &identity, &facts), 1);
    EXPECT_EQ(facts.signatureId, 1);
    EXPECT_EQ(facts.known, 1);  // size and SHA-256 from the same read
    EXPECT_EQ(facts.size, WormLike(1).size());
    EXPECT_TRUE(SameFileIdentity(&identity, &expected));
    EXPECT_EQ(IsFileInfected(clean.c_str(), &identity, &facts), 0);
    EXPECT_EQ(IsFileInfected(scratch.File("missing.exe").c_str(), &identity, &facts), kNotExamined);
    HANDLE exclusive = CreateFileA(worm.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsFileInfected(worm.c_str(), &identity, &facts), kNotExamined);
    CloseHandle(exclusive);
}

// ---------------------------------------------------------------------------
// The debug privilege

DWORD PrivilegeAttributes(const char *name)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0xFFFFFFFF;
    LUID luid;
    LookupPrivilegeValueA(nullptr, name, &luid);
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<char> buffer(size);
    DWORD attributes = 0xFFFFFFFF;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        const TOKEN_PRIVILEGES *list = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
        for (DWORD i = 0; i < list->PrivilegeCount; ++i)
            if (list->Privileges[i].Luid.LowPart == luid.LowPart && list->Privileges[i].Luid.HighPart == luid.HighPart)
                attributes = list->Privileges[i].Attributes;
    }
    CloseHandle(token);
    return attributes;
}

TEST(PrivilegeTest, TheDebugPrivilegeIsSwitchedOnAndOffInTheRealToken)
{
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 1), 1);
    EXPECT_EQ(PrivilegeAttributes("SeDebugPrivilege") & SE_PRIVILEGE_ENABLED, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
    EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 0), 1);
    EXPECT_EQ(PrivilegeAttributes("SeDebugPrivilege") & SE_PRIVILEGE_ENABLED, 0u);
    EXPECT_EQ(SetPrivilege(token, "SeNoSuchPrivilege", 1), 0);
    CloseHandle(token);
    EXPECT_EQ(SetPrivilege(nullptr, "SeDebugPrivilege", 1), 0);
}

// What the privilege calls are told and answer.
struct AdjustCall {
    DWORD count, attributes, length;
    bool asksPrevious;
};
std::vector<AdjustCall> g_adjustCalls;
DWORD g_previousCount, g_previousAttributes, g_firstError;
BOOL g_firstAnswer;

BOOL WINAPI FakeAdjust(HANDLE, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length, PTOKEN_PRIVILEGES previous,
                       PDWORD returned)
{
    EXPECT_FALSE(disableAll);
    g_adjustCalls.push_back({state->PrivilegeCount, state->Privileges[0].Attributes, length, previous != nullptr});
    if (previous != nullptr) {
        // Only privileges the call changed are reported back.
        previous->PrivilegeCount = g_previousCount;
        if (g_previousCount != 0)
            previous->Privileges[0].Attributes = g_previousAttributes;
        *returned = g_previousCount != 0 ? sizeof(TOKEN_PRIVILEGES) : sizeof(DWORD);
        SetLastError(g_firstError);
        return g_firstAnswer;
    }
    SetLastError(0);
    return TRUE;
}

TEST(PrivilegeTest, OnlyTheEnabledBitChangesAndAFailedFirstPassStopsTheCall)
{
    ScopedSysCall<decltype(sys::AdjustTokenPrivileges)> adjust(sys::AdjustTokenPrivileges, FakeAdjust);
    HANDLE token = reinterpret_cast<HANDLE>(0x44);
    struct Case {
        DWORD previousCount, previousAttributes;
        int enable;
        DWORD expected;
    } cases[] = {
        {1, SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED, 0, SE_PRIVILEGE_ENABLED_BY_DEFAULT},
        {1, SE_PRIVILEGE_ENABLED_BY_DEFAULT, 1, SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED},
        // Nothing reported back: no stray bits from an unfilled record.
        {0, 0, 1, SE_PRIVILEGE_ENABLED},
    };
    for (const Case &c : cases) {
        g_adjustCalls.clear();
        g_previousCount = c.previousCount;
        g_previousAttributes = c.previousAttributes;
        g_firstError = 0;
        g_firstAnswer = TRUE;
        EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", c.enable), 1);
        ASSERT_EQ(g_adjustCalls.size(), 2u);
        EXPECT_EQ(g_adjustCalls[0].attributes, 0u);
        EXPECT_EQ(g_adjustCalls[0].length, 16u);
        EXPECT_TRUE(g_adjustCalls[0].asksPrevious);
        EXPECT_EQ(g_adjustCalls[1].count, 1u);
        EXPECT_EQ(g_adjustCalls[1].attributes, c.expected);
        EXPECT_FALSE(g_adjustCalls[1].asksPrevious);
    }

    // A token without the privilege answers TRUE with ERROR_NOT_ALL_ASSIGNED;
    // a plain failure need not leave an error code.
    for (DWORD error : {static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), 0ul}) {
        g_adjustCalls.clear();
        g_firstError = error;
        g_firstAnswer = error != 0;
        EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 1), 0);
        EXPECT_EQ(g_adjustCalls.size(), 1u);
    }
}

}  // namespace
