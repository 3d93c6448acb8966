#include "process/process_enum.h"

#include "sys/syscalls.h"

#include <string.h>

// Entry points come back as FARPROC; each is cast to its real type once.
template <typename Fn>
static Fn LookUp(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(sys::GetProcAddress(module, name)));
}

ToolhelpProcessEnumerator::ToolhelpProcessEnumerator()
{
    memset(&entry_, 0, sizeof entry_);
    kernel_ = sys::GetModuleHandleA("KERNEL32.DLL");
    if (kernel_ == nullptr)
        return;
    createSnapshot_ = LookUp<CreateSnapshotFn>(kernel_, "CreateToolhelp32Snapshot");
    processFirst_ = LookUp<ProcessWalkFn>(kernel_, "Process32First");
    processNext_ = LookUp<ProcessWalkFn>(kernel_, "Process32Next");
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
        callback(entry_.szExeFile, 0, entry_.th32ProcessID, context);
        while (processNext_(snapshot_, &entry_) == TRUE)
            callback(entry_.szExeFile, 0, entry_.th32ProcessID, context);
    }
    sys::CloseHandle(snapshot_);
    snapshot_ = nullptr;
    return 1;
}

PsapiProcessEnumerator::PsapiProcessEnumerator()
{
    psapi_ = sys::LoadLibraryA("PSAPI.DLL");
    if (psapi_ == nullptr)
        return;
    vdmdbg_ = sys::LoadLibraryA("VDMDBG.DLL");
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

    DWORD ids[1024];
    DWORD idBytes = 0;
    if (!enumProcesses_(ids, sizeof ids, &idBytes)) {
        ReleaseLibraries();
        return 0;
    }
    DWORD count = idBytes / sizeof ids[0];
    if (count > 1024)
        count = 1024;

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
    ReleaseLibraries();
    return 1;
}

int ScanProcesses(uint32_t useNt, ProcessCallback callback, void *context)
{
    if (useNt) {
        PsapiProcessEnumerator enumerator;
        return enumerator.Enumerate(callback, context);
    }
    ToolhelpProcessEnumerator enumerator;
    return enumerator.Enumerate(callback, context);
}
