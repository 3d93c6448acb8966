#include "test_support.h"
#include "fileops/held_file.h"

#include "base/console.h"
#include "detect/crc32.h"
#include "detect/signatures.h"
#include "run/run_record.h"
#include "trace/trace.h"

#include <windows.h>
#include <sddl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

static std::string TempFileName(const char *prefix)
{
    char folder[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, prefix, 0, name);
    return name;
}

CapturedStdout::CapturedStdout() : path_(TempFileName("out"))
{
    ConsoleFlush();
    fflush(stdout);
    savedFd_ = _dup(_fileno(stdout));
    int fd = _open(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, _fileno(stdout));
    _close(fd);
}

CapturedStdout::~CapturedStdout()
{
    ConsoleFlush();
    fflush(stdout);
    _dup2(savedFd_, _fileno(stdout));
    _close(savedFd_);
    DeleteFileA(path_.c_str());
}

std::string CapturedStdout::Text()
{
    ConsoleFlush();
    fflush(stdout);
    return ReadWholeFile(path_);
}

std::string g_pretendDriveRoot;

DWORD WINAPI PretendDriveList(DWORD size, LPSTR buffer)
{
    DWORD needed = static_cast<DWORD>(g_pretendDriveRoot.size() + 2);
    if (size < needed)
        return needed;
    memcpy(buffer, g_pretendDriveRoot.c_str(), g_pretendDriveRoot.size() + 1);
    buffer[g_pretendDriveRoot.size() + 1] = '\0';
    return needed - 1;
}

ScratchFolder::ScratchFolder()
{
    path_ = TempFileName("vtk");
    DeleteFileA(path_.c_str());
    CreateDirectoryA(path_.c_str(), nullptr);
}

// Removes the folder at path and all it holds.
static void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName, inner = path + "\\" + name;
            if (name == "." || name == "..")
                continue;
            SetFileAttributesA(inner.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(inner);
            else
                DeleteFileA(inner.c_str());
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

// Every test starts on a drive without the tool's folders: what an earlier
// test kept or parked there (a full quarantine, a folder of another name
// listed first) would change what this one finds. The tests of the drive
// take turns, so none is in use meanwhile.
class ToolFoldersCleared : public ::testing::Environment {
    void SetUp() override
    {
        WIN32_FIND_DATAA entry;
        HANDLE search = FindFirstFileA("C:\\" TOOL_FOLDER_NAME "*", &entry);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do
            RemoveTree(std::string("C:\\") + entry.cFileName);
        while (FindNextFileA(search, &entry));
        FindClose(search);
    }
};
static ::testing::Environment *const g_toolFoldersCleared =
    ::testing::AddGlobalTestEnvironment(new ToolFoldersCleared);

ScratchFolder::~ScratchFolder()
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name != "." && name != "..") {
                SetFileAttributesA(File(name.c_str()).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(File(name.c_str()).c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

std::string ReadWholeFile(const std::string &path, bool *exists)
{
    std::string bytes;
    FILE *stream = fopen(path.c_str(), "rb");
    if (exists != nullptr)
        *exists = stream != nullptr;
    if (stream == nullptr)
        return bytes;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, stream)) > 0)
        bytes.append(chunk, got);
    fclose(stream);
    return bytes;
}

void IdentityOfFile(const std::string &path, FileIdentity *identity)
{
    memset(identity, 0, sizeof *identity);
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FileIdentityOf(file, identity);
    CloseHandle(file);
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DetachTraceFile()
{
    // An empty name resolves to the executable's folder, which never opens as
    // a file: the previous file is closed and none is open afterwards.
    TraceSetOutputFile("", "a+");
}

// One step of the CRC register run backwards: the register before `byte` was
// fed, given the register after it.
static uint32_t UnfeedByte(uint32_t reg, unsigned char byte)
{
    for (int bit = 0; bit < 8; ++bit)
        reg = (reg & 0x80000000u) != 0 ? ((reg ^ 0xEDB88320u) << 1) | 1u : reg << 1;
    return reg ^ byte;
}

// Replaces the four bytes at `patchAt` (inside the window) so that the
// window's CRC-32 becomes `crc`: the register is run forward to the patch and
// backward from the wanted end value through the bytes after it; the four
// bytes are what takes the one to the other.
void ForgeWindow(std::string &bytes, uint32_t offset, uint32_t length, uint32_t patchAt, uint32_t crc)
{
    const unsigned char *window = reinterpret_cast<const unsigned char *>(bytes.data()) + offset;
    uint32_t relative = patchAt - offset;
    uint32_t before = Crc32(window, relative) ^ 0xFFFFFFFFu;
    uint32_t after = crc ^ 0xFFFFFFFFu;
    for (uint32_t i = length; i > relative + 4; --i)
        after = UnfeedByte(after, window[i - 1]);
    for (int i = 0; i < 4; ++i)
        after = UnfeedByte(after, 0);
    uint32_t word = after ^ before;
    for (int i = 0; i < 4; ++i)
        bytes[patchAt + i] = static_cast<char>(word >> (8 * i));
}

std::string PlainBytes(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// A 16 KiB file whose window for `id` carries that row's CRC, patched in the
// window's last four bytes (so an ID-2 patch leaves the first 12288 bytes be).
std::string WormLike(int id, uint32_t seed)
{
    std::string bytes = PlainBytes(0x4000, seed);
    const SignatureEntry &row = SignatureTable[id];
    ForgeWindow(bytes, row.offset, row.length, row.offset + row.length - 4, row.crc);
    return bytes;
}

void WriteFileBytes(const std::string &path, const std::string &bytes)
{
    FILE *stream = fopen(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fclose(stream);
}

std::vector<std::string> StepLogLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string log = ReadWholeFile(path);
    size_t start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = log.substr(start, end - start);
        if (line.compare(0, 8, "[QVSC - ") != 0)
            lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> NotExaminedObjects(int kind)
{
    std::vector<std::string> objects;
    for (const RunObject *object = RunRecordedObjects(); object != nullptr; object = object->next)
        if (object->kind == kind && object->result == kResultNotExamined)
            objects.push_back(std::string(object->path) + ": " + (object->reason != nullptr ? object->reason : "?"));
    return objects;
}

DWORD PresentSecurity(const wchar_t *sddl, PSID *owner, PACL *dacl, PSECURITY_DESCRIPTOR *descriptor)
{
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, 1, descriptor, nullptr);
    BOOL defaulted = FALSE, present = FALSE;
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    if (dacl != nullptr)
        GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

DWORD WINAPI AdministratorsOnly(HANDLE, SE_OBJECT_TYPE, DWORD, PSID *owner, PSID *, PACL *dacl, PACL *,
                                PSECURITY_DESCRIPTOR *descriptor)
{
    return PresentSecurity(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", owner, dacl, descriptor);
}
