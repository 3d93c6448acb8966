#include "process/process_enum.h"

#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

// Entry points come back as FARPROC; each is cast to its real type once.
// More ids than any system runs: the array stops growing there.
static const DWORD kMaxProcessIds = 1u << 20;

template <typename Fn>
static Fn LookUp(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(sys::GetProcAddress(module, name)));
}

ToolhelpProcessEnumerator::ToolhelpProcessEnumerator()
{
    memset(&entry_, 0, sizeof entry_);
    memset(&module_, 0, sizeof module_);
    kernel_ = sys::GetModuleHandleA("KERNEL32.DLL");
    if (kernel_ == nullptr)
        return;
    createSnapshot_ = LookUp<CreateSnapshotFn>(kernel_, "CreateToolhelp32Snapshot");
    processFirst_ = LookUp<ProcessWalkFn>(kernel_, "Process32First");
    processNext_ = LookUp<ProcessWalkFn>(kernel_, "Process32Next");
    moduleFirst_ = LookUp<ModuleWalkFn>(kernel_, "Module32First");
    if (createSnapshot_ != nullptr && processFirst_ != nullptr && processNext_ != nullptr) {
        entry_.dwSize = sizeof(PROCESSENTRY32);  // 296 for this ANSI record
        ready = 1;
    }
}

int ToolhelpProcessEnumerator::Enumerate(ProcessCallback callback, void *context)
{
    if (!ready || createSnapshot_ == nullptr || processFirst_ == nullptr || processNext_ == nullptr)
        return 0;
    snapshot_ = createSnapshot_(TH32CS_SNAPPROCESS, 0);
    // A failed snapshot has nothing to walk and nothing to close.
    if (snapshot_ == INVALID_HANDLE_VALUE || snapshot_ == nullptr) {
        snapshot_ = nullptr;
        return 0;
    }
    if (processFirst_(snapshot_, &entry_)) {
        callback(ImagePath(entry_.th32ProcessID, entry_.szExeFile), 0, entry_.th32ProcessID, context);
        while (processNext_(snapshot_, &entry_) == TRUE)
            callback(ImagePath(entry_.th32ProcessID, entry_.szExeFile), 0, entry_.th32ProcessID, context);
    }
    sys::CloseHandle(snapshot_);
    snapshot_ = nullptr;
    return 1;
}

const char *ToolhelpProcessEnumerator::ImagePath(DWORD processId, const char *name)
{
    if (moduleFirst_ == nullptr || strchr(name, '\\') != nullptr)
        return name;
    HANDLE modules = createSnapshot_(TH32CS_SNAPMODULE, processId);
    if (modules == INVALID_HANDLE_VALUE || modules == nullptr)
        return name;
    module_.dwSize = sizeof(MODULEENTRY32);
    int found = moduleFirst_(modules, &module_) && module_.szExePath[0] != '\0';
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
    vdmEnumTaskWowEx_ = sys::GetProcAddress(vdmdbg_, "VDMEnumTaskWOWEx");
    enumProcesses_ = LookUp<EnumProcessesFn>(psapi_, "EnumProcesses");
    getModuleFileNameEx_ = LookUp<ModuleNameFn>(psapi_, "GetModuleFileNameExA");
    getModuleBaseName_ = LookUp<ModuleNameFn>(psapi_, "GetModuleBaseNameA");
    enumProcessModules_ = LookUp<EnumProcessModulesFn>(psapi_, "EnumProcessModules");
    // All five, although three are called: a system without any of them gets
    // no enumeration at all.
    if (vdmEnumTaskWowEx_ != nullptr && enumProcesses_ != nullptr && getModuleFileNameEx_ != nullptr &&
        getModuleBaseName_ != nullptr && enumProcessModules_ != nullptr)
        ready = 1;
    HMODULE kernel = sys::GetModuleHandleA("KERNEL32.DLL");
    if (kernel != nullptr)
        queryFullImageName_ = LookUp<QueryImageNameFn>(kernel, "QueryFullProcessImageNameA");
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
    vdmEnumTaskWowEx_ = nullptr;
    enumProcesses_ = nullptr;
    getModuleFileNameEx_ = nullptr;
    getModuleBaseName_ = nullptr;
    enumProcessModules_ = nullptr;
    ready = 0;
}

int PsapiProcessEnumerator::Enumerate(ProcessCallback callback, void *context)
{
    if (!ready || vdmEnumTaskWowEx_ == nullptr || enumProcesses_ == nullptr || getModuleFileNameEx_ == nullptr ||
        getModuleBaseName_ == nullptr || enumProcessModules_ == nullptr)
        return 0;

    // A list that fills the array may have been cut: the array grows until
    // the list fits, so a busy server's processes are all looked at.
    DWORD capacity = 1024;
    DWORD *ids = nullptr;
    DWORD idBytes = 0;
    for (;;) {
        ids = static_cast<DWORD *>(sys::malloc(capacity * sizeof(DWORD)));
        if (ids == nullptr || !enumProcesses_(ids, capacity * sizeof(DWORD), &idBytes)) {
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

    for (DWORD i = 0; i < count; ++i) {
        HANDLE process = sys::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (process == nullptr)
            continue;  // gone since the listing, or not ours to look at
        HMODULE modules[1024];
        DWORD needed = 0;
        // Room for one character more than a name may have: a name that
        // fills it was cut, and a cut path names some other file.
        char name[MAX_PATH + 2];
        DWORD length = 0;
        if (enumProcessModules_(process, modules, sizeof modules, &needed)) {
            length = getModuleFileNameEx_(process, modules[0], name, MAX_PATH + 1);
        } else if (queryFullImageName_ != nullptr) {
            // A 64-bit process's modules cannot be read from a 32-bit one;
            // its image path can.
            DWORD size = MAX_PATH + 1;
            if (queryFullImageName_(process, 0, name, &size))
                length = size;
        }
        sys::CloseHandle(process);
        if (length == 0 || length >= MAX_PATH)
            continue;
        name[length] = '\0';
        callback(name, 0, ids[i], context);
    }
    sys::free(ids);
    ReleaseLibraries();
    return 1;
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
