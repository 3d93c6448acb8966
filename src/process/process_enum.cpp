#include "process/process_enum.h"

#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

// More ids than any system runs: the array stops growing there.
static const DWORD kMaxProcessIds = 1u << 20;

// The right to ask for an image name: the limited one where the system knows
// it (Vista on, with the full name query), which protected processes grant
// too; XP lacks it.
static DWORD QueryRight(int hasFullNameQuery)
{
    return hasFullNameQuery ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
}

// Opens a listed process once, to be named, judged, ended and waited for
// through the same handle. Where ending or waiting is refused it is opened
// with fewer rights, to be named and judged all the same. Answers the handle
// (the caller closes it) or null.
static HANDLE OpenListedProcess(DWORD processId, DWORD queryRight, ListedProcess *listed)
{
    const DWORD rights[3] = {queryRight | PROCESS_TERMINATE | SYNCHRONIZE, queryRight | PROCESS_TERMINATE, queryRight};
    memset(listed, 0, sizeof *listed);
    listed->processId = processId;
    for (int i = 0; i < 3; ++i) {
        HANDLE process = sys::OpenProcess(rights[i], FALSE, processId);
        if (process != nullptr) {
            listed->handle = i < 2 ? process : nullptr;
            listed->canWait = i == 0;
            return process;
        }
        if (i == 1)
            listed->endError = GetLastError();
    }
    return nullptr;
}

ToolhelpProcessEnumerator::ToolhelpProcessEnumerator()
{
    memset(&entry_, 0, sizeof entry_);
    memset(&module_, 0, sizeof module_);
    kernel_ = sys::GetModuleHandleA("KERNEL32.DLL");
    if (kernel_ == nullptr)
        return;
    int hasSnapshot = sys::FindEntry(sys::CreateToolhelp32Snapshot, kernel_);
    int hasFirst = sys::FindEntry(sys::Process32First, kernel_);
    int hasNext = sys::FindEntry(sys::Process32Next, kernel_);
    hasModuleFirst_ = sys::FindEntry(sys::Module32First, kernel_);
    hasFullImageName_ = sys::FindEntry(sys::QueryFullProcessImageNameA, kernel_);
    if (hasSnapshot && hasFirst && hasNext) {
        entry_.dwSize = sizeof(PROCESSENTRY32);  // 296 for this ANSI record
        ready = 1;
    }
}

int ToolhelpProcessEnumerator::Enumerate(ProcessCallback callback, void *context)
{
    if (!ready)
        return 0;
    snapshot_ = sys::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // A failed snapshot has nothing to walk and nothing to close.
    if (snapshot_ == INVALID_HANDLE_VALUE || snapshot_ == nullptr) {
        snapshot_ = nullptr;
        return 0;
    }
    BOOL more = sys::Process32First(snapshot_, &entry_);
    while (more) {
        ListedProcess listed;
        HANDLE process = OpenListedProcess(entry_.th32ProcessID, QueryRight(hasFullImageName_), &listed);
        DWORD size = MAX_PATH;
        if (!hasFullImageName_)
            listed.name = ImagePath(entry_.th32ProcessID, entry_.szExeFile);
        else if (process != nullptr && sys::QueryFullProcessImageNameA(process, 0, systemName_, &size) && size > 0 &&
                 size < MAX_PATH)
            listed.name = systemName_;
        if (listed.name != nullptr)
            callback(&listed, context);
        if (process != nullptr)
            sys::CloseHandle(process);
        more = sys::Process32Next(snapshot_, &entry_) == TRUE;
    }
    sys::CloseHandle(snapshot_);
    snapshot_ = nullptr;
    return 1;
}

const char *ToolhelpProcessEnumerator::ImagePath(DWORD processId, const char *name)
{
    if (!hasModuleFirst_ || strchr(name, '\\') != nullptr)
        return name;
    HANDLE modules = sys::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (modules == INVALID_HANDLE_VALUE || modules == nullptr)
        return name;
    module_.dwSize = sizeof(MODULEENTRY32);
    int found = sys::Module32First(modules, &module_) && module_.szExePath[0] != '\0';
    sys::CloseHandle(modules);
    return found ? module_.szExePath : name;
}

PsapiProcessEnumerator::PsapiProcessEnumerator()
{
    psapi_ = LoadSystemLibrary("PSAPI.DLL");
    if (psapi_ == nullptr)
        return;
    vdmdbg_ = LoadSystemLibrary("VDMDBG.DLL");
    if (vdmdbg_ == nullptr)
        return;
    int hasVdmTasks = sys::FindEntry(sys::VDMEnumTaskWOWEx, vdmdbg_);
    int hasEnum = sys::FindEntry(sys::EnumProcesses, psapi_);
    int hasFileName = sys::FindEntry(sys::GetModuleFileNameExA, psapi_);
    int hasBaseName = sys::FindEntry(sys::GetModuleBaseNameA, psapi_);
    int hasModules = sys::FindEntry(sys::EnumProcessModules, psapi_);
    // All five, although three are called: a system without any of them gets
    // no enumeration at all.
    if (hasVdmTasks && hasEnum && hasFileName && hasBaseName && hasModules)
        ready = 1;
    HMODULE kernel = sys::GetModuleHandleA("KERNEL32.DLL");
    // Not looked up where KERNEL32 is not found: the row then answers "not there".
    hasFullImageName_ = kernel != nullptr ? sys::FindEntry(sys::QueryFullProcessImageNameA, kernel) : 0;
    if (!hasFullImageName_)
        hasImageFileName_ = sys::FindEntry(sys::GetProcessImageFileNameA, psapi_);
}

PsapiProcessEnumerator::~PsapiProcessEnumerator()
{
    ReleaseLibraries();
}

void PsapiProcessEnumerator::ReleaseLibraries()
{
    if (vdmdbg_ != nullptr)
        sys::FreeLibrary(vdmdbg_);
    if (psapi_ != nullptr)
        sys::FreeLibrary(psapi_);
    vdmdbg_ = nullptr;
    psapi_ = nullptr;
    // The entry points went with the libraries.
    sys::FindEntry(sys::VDMEnumTaskWOWEx, nullptr);
    sys::FindEntry(sys::EnumProcesses, nullptr);
    sys::FindEntry(sys::GetModuleFileNameExA, nullptr);
    sys::FindEntry(sys::GetModuleBaseNameA, nullptr);
    sys::FindEntry(sys::EnumProcessModules, nullptr);
    sys::FindEntry(sys::GetProcessImageFileNameA, nullptr);
    hasImageFileName_ = 0;
    ready = 0;
}

int PsapiProcessEnumerator::Enumerate(ProcessCallback callback, void *context)
{
    if (!ready)
        return 0;

    // A list that fills the array may have been cut: the array grows until
    // the list fits, so a busy server's processes are all looked at.
    DWORD capacity = 1024;
    DWORD *ids = nullptr;
    DWORD idBytes = 0;
    for (;;) {
        ids = static_cast<DWORD *>(sys::malloc(capacity * sizeof(DWORD)));
        if (ids == nullptr || !sys::EnumProcesses(ids, capacity * sizeof(DWORD), &idBytes)) {
            sys::free(ids);
            ReleaseLibraries();
            return 0;
        }
        if (idBytes < capacity * sizeof(DWORD) || capacity >= kMaxProcessIds)
            break;
        sys::free(ids);
        capacity *= 2;
    }
    DWORD count = idBytes / sizeof(DWORD);

    // Each drive letter's device, for the device paths of the XP query.
    if (hasImageFileName_)
        for (int letter = 0; letter < 26; ++letter) {
            char drive[3] = {static_cast<char>('A' + letter), ':', '\0'};
            if (!sys::QueryDosDeviceA(drive, driveDevices_[letter], MAX_PATH))
                driveDevices_[letter][0] = '\0';
        }
    DWORD queryRight = QueryRight(hasFullImageName_);
    if (!hasFullImageName_ && !hasImageFileName_)
        queryRight |= PROCESS_VM_READ;  // the module list is read from the process

    for (DWORD i = 0; i < count; ++i) {
        ListedProcess listed;
        HANDLE process = OpenListedProcess(ids[i], queryRight, &listed);
        if (process == nullptr)
            continue;  // gone since the listing, or not ours to look at
        // Room for one character more than a name may have: a name that
        // fills it was cut, and a cut path names some other file.
        char name[MAX_PATH + 2];
        if (ImageName(process, name) != 0) {
            listed.name = name;
            callback(&listed, context);
        }
        sys::CloseHandle(process);
    }
    sys::free(ids);
    ReleaseLibraries();
    return 1;
}

DWORD PsapiProcessEnumerator::ImageName(HANDLE process, char *name)
{
    DWORD length = 0;
    if (hasFullImageName_) {
        DWORD size = MAX_PATH + 1;
        if (sys::QueryFullProcessImageNameA(process, 0, name, &size))
            length = size;
    } else if (hasImageFileName_) {
        length = sys::GetProcessImageFileNameA(process, name, MAX_PATH + 1);
    } else {
        // No system that names images: the process's own module list.
        HMODULE modules[1024];
        DWORD needed = 0;
        if (sys::EnumProcessModules(process, modules, sizeof modules, &needed))
            length = sys::GetModuleFileNameExA(process, modules[0], name, MAX_PATH + 1);
    }
    if (length == 0 || length >= MAX_PATH)
        return 0;
    name[length] = '\0';
    if (hasImageFileName_)
        DeviceToDrive(name);
    return static_cast<DWORD>(strlen(name));
}

void PsapiProcessEnumerator::DeviceToDrive(char *name)
{
    for (int letter = 0; letter < 26; ++letter) {
        size_t length = strlen(driveDevices_[letter]);
        if (length < 3 || _strnicmp(name, driveDevices_[letter], length) != 0 || name[length] != '\\')
            continue;
        name[0] = static_cast<char>('A' + letter);
        name[1] = ':';
        memmove(name + 2, name + length, strlen(name + length) + 1);
        return;
    }
}

int ScanProcesses(uint32_t useNt, ProcessCallback callback, void *context)
{
    if (useNt) {
        PsapiProcessEnumerator psapi;
        if (psapi.ready)
            return psapi.Enumerate(callback, context);
    }
    ToolhelpProcessEnumerator toolhelp;
    return toolhelp.Enumerate(callback, context);
}
