// Listing the machine's running processes: Tool Help on Windows 9x, PSAPI on
// the NT family, and Tool Help there too where PSAPI is missing (NT 4 without
// it, a damaged system). Every entry point is looked up by name at run time,
// so the tool still starts on a system that lacks one of the libraries.
#pragma once

#include <windows.h>
#include <tlhelp32.h>
#include <stdint.h>

// Called once per process with its image file name (NUL-terminated, at most
// 260 bytes with the terminator, never empty), 0, its id and the caller's
// context. Nothing is answered: the enumerators would not look at it.
typedef void (*ProcessCallback)(const char *name, uint32_t reserved, uint32_t processId, void *context);

class ProcessEnumerator {
public:
    // Calls callback for each process in the order the system lists them.
    // Answers 1 when the enumeration ran, 0 when it could not.
    virtual int Enumerate(ProcessCallback callback, void *context) = 0;

    // 1 once the constructor found every entry point it needs.
    uint32_t ready = 0;

protected:
    // Enumerators live on the stack of ScanProcesses; none is deleted
    // through this class.
    ~ProcessEnumerator() = default;
};

class ToolhelpProcessEnumerator : public ProcessEnumerator {
public:
    ToolhelpProcessEnumerator();
    int Enumerate(ProcessCallback callback, void *context) override;

private:
    typedef HANDLE(WINAPI *CreateSnapshotFn)(DWORD flags, DWORD processId);
    typedef BOOL(WINAPI *ProcessWalkFn)(HANDLE snapshot, PROCESSENTRY32 *entry);
    typedef BOOL(WINAPI *ModuleWalkFn)(HANDLE snapshot, MODULEENTRY32 *entry);

    // The image path of a process whose entry carries a bare name (the NT
    // family's Tool Help): its first module's path, or the bare name.
    const char *ImagePath(DWORD processId, const char *name);

    HMODULE kernel_ = nullptr;  // never loaded here, so never released
    HANDLE snapshot_ = nullptr;
    PROCESSENTRY32 entry_;
    CreateSnapshotFn createSnapshot_ = nullptr;
    ProcessWalkFn processFirst_ = nullptr;
    ProcessWalkFn processNext_ = nullptr;
    ModuleWalkFn moduleFirst_ = nullptr;  // optional
    MODULEENTRY32 module_;
};

class PsapiProcessEnumerator : public ProcessEnumerator {
public:
    PsapiProcessEnumerator();
    // Releases the libraries when Enumerate did not (construction stopped
    // half-way, or the object was never enumerated).
    ~PsapiProcessEnumerator();
    int Enumerate(ProcessCallback callback, void *context) override;

private:
    typedef BOOL(WINAPI *EnumProcessesFn)(DWORD *ids, DWORD bytes, DWORD *bytesReturned);
    typedef DWORD(WINAPI *ModuleNameFn)(HANDLE process, HMODULE module, LPSTR name, DWORD capacity);
    typedef BOOL(WINAPI *EnumProcessModulesFn)(HANDLE process, HMODULE *modules, DWORD bytes, DWORD *needed);
    typedef BOOL(WINAPI *QueryImageNameFn)(HANDLE process, DWORD flags, LPSTR name, PDWORD size);

    void ReleaseLibraries();

    HMODULE psapi_ = nullptr;
    HMODULE vdmdbg_ = nullptr;
    EnumProcessesFn enumProcesses_ = nullptr;
    ModuleNameFn getModuleFileNameEx_ = nullptr;
    EnumProcessModulesFn enumProcessModules_ = nullptr;
    FARPROC vdmEnumTaskWowEx_ = nullptr;  // required, never called
    ModuleNameFn getModuleBaseName_ = nullptr;  // required, never called
    // KERNEL32's, where there is one (Vista and later): the image path of a
    // process whose modules cannot be read, as a 64-bit one's from here.
    QueryImageNameFn queryFullImageName_ = nullptr;
};

// Builds the PSAPI enumerator (useNt non-zero; Tool Help when PSAPI is not
// there) or the Tool Help one, runs it once and answers its Enumerate result:
// 0 when no list could be had.
int ScanProcesses(uint32_t useNt, ProcessCallback callback, void *context);
