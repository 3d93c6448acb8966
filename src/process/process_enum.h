// Listing the machine's running processes: Tool Help on Windows 9x, PSAPI on
// the NT family, and Tool Help there too where PSAPI is missing (NT 4 without
// it, a damaged system). Every entry point is an optional row of the
// system-call table, looked up by name at run time, so the tool still starts
// on a system that lacks one of the libraries.
//
// Each process is opened once and named through that handle by the system
// (the full image name query from Vista on, the image file name query on XP),
// not by what its own memory says: a process may rewrite its loader data to
// name any file. Only where the system has no such query (NT 4, Windows 2000,
// Windows 9x) do the module list and Tool Help's names stand in.
#pragma once

#include <windows.h>
#include <tlhelp32.h>
#include <stdint.h>

// One listed process, as the callback sees it.
struct ListedProcess {
    const char *name;  // its image path: NUL-terminated, at most 260 bytes with the terminator, never empty
    uint32_t processId;
    // The handle it was named through, with the right to end it: a process
    // id may be another process's by the time it is opened again. Null when
    // that right was refused (endError says why); the enumerator closes it.
    HANDLE handle;
    uint32_t canWait;  // 1 when handle may be waited for
    uint32_t endError;
};

// Called once per process with the caller's context. Nothing is answered:
// the enumerators would not look at it.
typedef void (*ProcessCallback)(const ListedProcess *process, void *context);

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
    // The image path of a process whose entry carries a bare name (the NT
    // family's Tool Help): its first module's path, or the bare name.
    const char *ImagePath(DWORD processId, const char *name);

    HMODULE kernel_ = nullptr;  // never loaded here, so never released
    HANDLE snapshot_ = nullptr;
    PROCESSENTRY32 entry_;
    uint32_t hasModuleFirst_ = 0;
    MODULEENTRY32 module_;
    uint32_t hasFullImageName_ = 0;  // Vista on
    char systemName_[MAX_PATH + 1];
};

class PsapiProcessEnumerator : public ProcessEnumerator {
public:
    PsapiProcessEnumerator();
    // Releases the libraries when Enumerate did not (construction stopped
    // half-way, or the object was never enumerated).
    ~PsapiProcessEnumerator();
    int Enumerate(ProcessCallback callback, void *context) override;

private:
    void ReleaseLibraries();
    // The image path of an opened process into name (MAX_PATH + 2 bytes):
    // its length, 0 when it has none that fits.
    DWORD ImageName(HANDLE process, char *name);
    // "\Device\HarddiskVolume1\x.exe" as "C:\x.exe"; a device no drive
    // letter names is left as it is.
    void DeviceToDrive(char *name);

    HMODULE psapi_ = nullptr;
    HMODULE vdmdbg_ = nullptr;
    // How the system names an image: KERNEL32's full name query (Vista on),
    // else PSAPI's image file name query (XP), which gives device paths.
    uint32_t hasFullImageName_ = 0;
    uint32_t hasImageFileName_ = 0;
    char driveDevices_[26][MAX_PATH];  // what each drive letter names, filled per listing
};

// Builds the PSAPI enumerator (useNt non-zero; Tool Help when PSAPI is not
// there) or the Tool Help one, runs it once and answers its Enumerate result:
// 0 when no list could be had.
int ScanProcesses(uint32_t useNt, ProcessCallback callback, void *context);
