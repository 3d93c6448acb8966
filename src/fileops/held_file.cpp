#include "fileops/held_file.h"
#include "fileops/long_path.h"
#include "fileops/timed_call.h"
#include "sys/syscalls.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// The native information classes and records the handle calls use.
enum {
    kFileBasicInformation = 4,
    kFileRenameInformation = 10,
    kFileDispositionInformation = 13,
    kFileAttributeTagInformation = 35,
};

struct IoStatus {
    LONG_PTR status;
    ULONG_PTR information;
};

struct BasicInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;  // 0: left as they are
    ULONG attributes;
};

struct AttributeTagInformation {
    ULONG attributes;
    ULONG reparseTag;
};

// A reparse point whose tag marks it as a name surrogate stands for another
// name: a symbolic link, a junction, a mount point. Other reparse points
// (files kept in the cloud, deduplicated ones) are the files themselves.
static const ULONG kNameSurrogateTag = 0x20000000;

static const SE_OBJECT_TYPE kSeFileObject = SE_FILE_OBJECT;
static const DWORD kOwnerSecurityInfo = 0x1;  // OWNER_SECURITY_INFORMATION
static const DWORD kDaclSecurityInfo = 0x4;   // DACL_SECURITY_INFORMATION
static const DWORD kSddlRevision = 1;

int FileIdentityOf(HANDLE file, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    memset(identity, 0, sizeof *identity);
    if (!sys::GetFileInformationByHandle(file, &info))
        return 0;
    identity->known = 1;
    identity->volumeSerial = info.dwVolumeSerialNumber;
    identity->indexHigh = info.nFileIndexHigh;
    identity->indexLow = info.nFileIndexLow;
    return 1;
}

int HandleIsFile(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    return sys::GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int SameFileIdentity(const FileIdentity *a, const FileIdentity *b)
{
    return a->known && b->known && a->volumeSerial == b->volumeSerial && a->indexHigh == b->indexHigh &&
           a->indexLow == b->indexLow;
}

// SYSTEM, the Administrators group and TrustedInstaller: the accounts that
// own the system's own folders and links, and what an elevated administrator
// makes. No rule for the account the tool runs as: under UAC a worm running
// unelevated as that administrator owns what it makes too.
struct TrustedSids {
    PSID sids[3];
};

static void ReleaseTrustedSids(TrustedSids *trusted)
{
    for (PSID &sid : trusted->sids) {
        if (sid != nullptr)
            sys::FreeSid(sid);
        sid = nullptr;
    }
}

// Answers 1 when all three are had.
static int LoadTrustedSids(TrustedSids *trusted)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    memset(trusted, 0, sizeof *trusted);
    if (sys::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &trusted->sids[0]) &&
        sys::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                      0, 0, 0, 0, &trusted->sids[1]) &&
        sys::AllocateAndInitializeSid(&ntAuthority, 6, SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649u,
                                      1831038044, 1853292631, 2271478464u, 0, 0, &trusted->sids[2]))
        return 1;
    ReleaseTrustedSids(trusted);
    return 0;
}

static int IsTrustedSid(const TrustedSids *trusted, PSID sid)
{
    for (PSID known : trusted->sids)
        if (sys::EqualSid(sid, known))
            return 1;
    return 0;
}

// CREATOR OWNER: an ACE for it that is only inherited gives the maker of
// what is made inside, not the folder itself.
static int IsCreatorOwner(const SID *sid)
{
    static const BYTE kCreatorAuthority[6] = {0, 0, 0, 0, 0, 3};
    return sid->SubAuthorityCount == 1 && memcmp(sid->IdentifierAuthority.Value, kCreatorAuthority, 6) == 0 &&
           sid->SubAuthority[0] == 0;
}

// The rights that change a folder or what it holds: write or add files and
// folders, delete it or what it holds, change its permissions, take it.
static const ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL | MAXIMUM_ALLOWED;

// 1 when the DACL grants none but the trusted accounts a changing right. A
// denial takes nothing away from this; an entry of a kind not read here, or
// one that does not fit, counts as a grant.
static int DaclKeepsOthersOut(const ACL *dacl, const TrustedSids *trusted)
{
    const BYTE *at = reinterpret_cast<const BYTE *>(dacl) + sizeof(ACL);
    const BYTE *end = reinterpret_cast<const BYTE *>(dacl) + dacl->AclSize;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        if (at + sizeof(ACE_HEADER) > end)
            return 0;
        const ACE_HEADER *header = reinterpret_cast<const ACE_HEADER *>(at);
        if (header->AceSize < sizeof(ACE_HEADER) || at + header->AceSize > end)
            return 0;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
            at += header->AceSize;
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return 0;
        const ACCESS_ALLOWED_ACE *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(at);
        const SID *sid = reinterpret_cast<const SID *>(&ace->SidStart);
        size_t sidStart = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if (sidStart + 8 > header->AceSize || sidStart + 8 + 4u * sid->SubAuthorityCount > header->AceSize)
            return 0;
        int inheritedOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if ((ace->Mask & kChangingRights) && !(inheritedOnly && IsCreatorOwner(sid)) &&
            !IsTrustedSid(trusted, const_cast<SID *>(sid)))
            return 0;
        at += header->AceSize;
    }
    return 1;
}

int OnlyAdministratorsChange(HANDLE handle)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sys::GetSecurityInfo(handle, kSeFileObject, kOwnerSecurityInfo | kDaclSecurityInfo, &owner, nullptr, &dacl,
                             nullptr, &descriptor) != ERROR_SUCCESS)
        return 0;
    TrustedSids trusted;
    int only = 0;
    // No DACL at all lets everyone do everything.
    if (owner != nullptr && dacl != nullptr && LoadTrustedSids(&trusted)) {
        only = IsTrustedSid(&trusted, owner) && DaclKeepsOthersOut(dacl, &trusted);
        ReleaseTrustedSids(&trusted);
    }
    sys::LocalFree(descriptor);
    return only;
}

// 1 when the object open at handle is owned by a trusted account; 0 when
// not, or when its owner cannot be read.
static int HasTrustedOwner(HANDLE handle)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sys::GetSecurityInfo(handle, kSeFileObject, kOwnerSecurityInfo, &owner, nullptr, nullptr, nullptr,
                             &descriptor) != ERROR_SUCCESS)
        return 0;
    TrustedSids trusted;
    int isTrusted = 0;
    if (owner != nullptr && LoadTrustedSids(&trusted)) {
        isTrusted = IsTrustedSid(&trusted, owner);
        ReleaseTrustedSids(&trusted);
    }
    sys::LocalFree(descriptor);
    return isTrusted;
}

// What a handle opened without following a link reaches, at the path it was
// opened by: 1 a link, 0 not one, -1 when that cannot be told. Where the
// system cannot open a link itself and opened its target instead, the path's
// own attributes still say it is one.
static int IsLink(HANDLE handle, const wchar_t *path, DWORD *attributes)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!sys::GetFileInformationByHandle(handle, &info))
        return -1;
    *attributes = info.dwFileAttributes;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        AttributeTagInformation tag;
        IoStatus io;
        if (sys::NtQueryInformationFile(handle, &io, &tag, sizeof tag, kFileAttributeTagInformation) < 0)
            return 1;  // a reparse point of no known kind counts as a link
        return (tag.reparseTag & kNameSurrogateTag) != 0;
    }
    DWORD byPath = sys::GetFileAttributesW(path);
    return byPath != INVALID_FILE_ATTRIBUTES && (byPath & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int PathIsLink(const char *path)
{
    wchar_t *wide = PathToWide(path);
    if (wide == nullptr)
        return 1;
    HANDLE handle = sys::CreateFileW(wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    int link = 1;
    if (handle != INVALID_HANDLE_VALUE) {
        DWORD attributes = 0;
        link = IsLink(handle, wide, &attributes) != 0;
        sys::CloseHandle(handle);
    }
    sys::free(wide);
    return link;
}

static int IsMissingError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Where a drive path's first folder starts in its wide form ("\\?\C:\"), or
// 0 for any other path.
static size_t DriveRootLength(const wchar_t *wide)
{
    if (wcsncmp(wide, L"\\\\?\\", 4) == 0 && wide[4] != L'\0' && wide[5] == L':' && wide[6] == L'\\')
        return 7;
    return 0;
}

// Opens and holds every folder of held->wide below the drive's root.
static int HoldFolders(HeldPath *held, int links)
{
    size_t root = DriveRootLength(held->wide);
    if (root == 0) {
        SetLastError(ERROR_BAD_PATHNAME);
        return kHoldFailed;
    }
    int separators = 0;
    for (const wchar_t *at = held->wide + root; *at != L'\0'; ++at)
        separators += *at == L'\\';
    if (separators > 0) {
        held->folders = static_cast<HANDLE *>(sys::malloc(separators * sizeof(HANDLE)));
        if (held->folders == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return kHoldFailed;
        }
    }
    for (wchar_t *at = held->wide + root; *at != L'\0'; ++at) {
        if (*at != L'\\')
            continue;
        *at = L'\0';
        // No delete sharing: while held, the folder cannot be renamed away.
        HANDLE folder = sys::CreateFileW(held->wide, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        int result = kHeld;
        if (folder == INVALID_HANDLE_VALUE) {
            result = IsMissingError(GetLastError()) ? kHoldMissing : kHoldFailed;
        } else {
            held->folders[held->folderCount++] = folder;
            DWORD attributes = 0;
            int link = IsLink(folder, held->wide, &attributes);
            if (link < 0)
                result = kHoldFailed;
            else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                result = kHoldMissing;
            else if (link && (links != kFollowSystemLinks || !HasTrustedOwner(folder)))
                result = kHoldThroughLink;
        }
        *at = L'\\';
        if (result != kHeld)
            return result;
    }
    return kHeld;
}

// Opens path without following a link; an ACL that shuts the administrators
// out is passed over with the restore privilege the run holds, through backup
// semantics.
static HANDLE OpenFileNoLink(const wchar_t *path, DWORD access)
{
    const DWORD noLink = FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = sys::CreateFileW(path, access, shareAll, nullptr, OPEN_EXISTING, noLink, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        file = sys::CreateFileW(path, access, shareAll, nullptr, OPEN_EXISTING, noLink | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    return file;
}

// Opens the file itself, with the right to delete where its holders allow it,
// and to read where they allow that too (a copy is kept of what is deleted).
static int HoldFile(HeldPath *held)
{
    const DWORD deletion = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    held->file = OpenFileNoLink(held->wide, deletion | FILE_READ_DATA);
    held->canRead = held->file != INVALID_HANDLE_VALUE;
    if (!held->canRead && GetLastError() == ERROR_SHARING_VIOLATION)
        held->file = OpenFileNoLink(held->wide, deletion);  // a holder that shares no reading
    held->canDelete = held->file != INVALID_HANDLE_VALUE;
    if (!held->canDelete) {
        DWORD error = GetLastError();
        if (IsMissingError(error))
            return kHoldMissing;
        // A holder that shares no deletion, or a refusal: the file can still
        // be looked at, and scheduled for the restart.
        const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        held->file = sys::CreateFileW(held->wide, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                      shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (held->file == INVALID_HANDLE_VALUE)
            held->file = sys::CreateFileW(held->wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE, shareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (held->file == INVALID_HANDLE_VALUE) {
            SetLastError(error);
            return IsMissingError(GetLastError()) ? kHoldMissing : kHoldNotOpened;
        }
    }
    int link = IsLink(held->file, held->wide, &held->attributes);
    if (link < 0 || !FileIdentityOf(held->file, &held->identity))
        return kHoldNotOpened;
    if (held->attributes & FILE_ATTRIBUTE_DIRECTORY)
        return kHoldMissing;  // a folder is never deleted as a file
    return link ? kHoldThroughLink : kHeld;
}

static int HoldWideNow(HeldPath *held, int links)
{
    int result = HoldFolders(held, links);
    return result == kHeld ? HoldFile(held) : result;
}

namespace {

// A hold made as a timed call: the thread's own copy of the path and what it
// holds, handed to the caller when it comes back in time.
struct TimedHold {
    HeldPath held;
    int links;
    int result;
    DWORD error;
};

}  // namespace

static void HoldNow(void *work)
{
    TimedHold *hold = static_cast<TimedHold *>(work);
    hold->result = HoldWideNow(&hold->held, hold->links);
    hold->error = GetLastError();
}

static void ReleaseLateHold(void *work) { ReleaseHeldPath(&static_cast<TimedHold *>(work)->held); }

// Every open of the folders and the file breaks another user's opportunistic
// lock and waits for it: the whole hold is one timed call. One that misses
// the deadline leaves held as it was, with its path and nothing open.
static int HoldWide(HeldPath *held, int links)
{
    if (held->wide == nullptr)
        return kHoldFailed;
    size_t size = (wcslen(held->wide) + 1) * sizeof(wchar_t);
    TimedHold *hold = static_cast<TimedHold *>(sys::malloc(sizeof(TimedHold)));
    wchar_t *wide = hold != nullptr ? static_cast<wchar_t *>(sys::malloc(size)) : nullptr;
    if (wide == nullptr) {
        sys::free(hold);
        return HoldWideNow(held, links);  // made here, as where no thread can be had
    }
    memcpy(wide, held->wide, size);
    hold->held = *held;
    hold->held.wide = wide;
    hold->links = links;
    if (!CallInTime(HoldNow, ReleaseLateHold, hold)) {
        SetLastError(ERROR_TIMEOUT);
        return kHoldNoAnswer;
    }
    sys::free(held->wide);
    *held = hold->held;
    int result = hold->result;
    DWORD error = hold->error;
    sys::free(hold);
    SetLastError(error);
    return result;
}

static void StartHeldPath(HeldPath *held)
{
    memset(held, 0, sizeof *held);
    held->file = INVALID_HANDLE_VALUE;
    held->toolFolder = INVALID_HANDLE_VALUE;
}

int HoldPath(const char *path, int links, HeldPath *held)
{
    StartHeldPath(held);
    held->wide = PathToWide(path);
    return HoldWide(held, links);
}

int HoldWidePath(const wchar_t *path, int links, HeldPath *held)
{
    StartHeldPath(held);
    size_t length = wcslen(path);
    held->wide = static_cast<wchar_t *>(sys::malloc((length + 1) * sizeof(wchar_t)));
    if (held->wide != nullptr)
        memcpy(held->wide, path, (length + 1) * sizeof(wchar_t));
    return HoldWide(held, links);
}

int HeldAllFolders(const HeldPath *held)
{
    if (held->wide == nullptr)
        return 0;
    size_t root = DriveRootLength(held->wide);
    int separators = 0;
    for (const wchar_t *at = held->wide + root; root != 0 && *at != L'\0'; ++at)
        separators += *at == L'\\';
    return root != 0 && held->folderCount == separators;
}

int HeldFoldersOnlyAdministratorsChange(const HeldPath *held)
{
    if (!HeldAllFolders(held))
        return 0;
    for (int i = 0; i < held->folderCount; ++i)
        if (!OnlyAdministratorsChange(held->folders[i]))
            return 0;
    return 1;
}

void ReleaseHeldPath(HeldPath *held)
{
    if (held->file != INVALID_HANDLE_VALUE)
        sys::CloseHandle(held->file);
    held->file = INVALID_HANDLE_VALUE;
    if (held->toolFolder != INVALID_HANDLE_VALUE)
        sys::CloseHandle(held->toolFolder);
    held->toolFolder = INVALID_HANDLE_VALUE;
    while (held->folderCount > 0)
        sys::CloseHandle(held->folders[--held->folderCount]);
    sys::free(held->folders);
    held->folders = nullptr;
    sys::free(held->wide);
    held->wide = nullptr;
}

// The native call's name and attributes records, in their plain layout.
struct CountedName {
    USHORT length, maximumLength;  // in bytes
    const wchar_t *buffer;
};

struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    CountedName *objectName;
    ULONG attributes;
    void *securityDescriptor, *securityQualityOfService;
};

enum : ULONG {
    kObjCaseInsensitive = 0x40,
    kFileCreate = 2,
    kFileSynchronousIoNonAlert = 0x20,
    kFileNonDirectoryFile = 0x40,
    kFileOpenReparsePoint = 0x00200000,
};
static const LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035L);

HANDLE HeldCreateFile(const HeldPath *held)
{
    if (!HeldAllFolders(held)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const wchar_t *name = held->wide;
    for (const wchar_t *at = held->wide; *at != L'\0'; ++at)
        if (*at == L'\\')
            name = at + 1;
    // A file at the drive's root: the root folder is no one's to swap.
    HANDLE root = INVALID_HANDLE_VALUE, folder = INVALID_HANDLE_VALUE;
    if (held->folderCount > 0) {
        folder = held->folders[held->folderCount - 1];
    } else {
        wchar_t rootPath[8];
        wcsncpy(rootPath, held->wide, 7);
        rootPath[7] = L'\0';
        root = sys::CreateFileW(rootPath, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (root == INVALID_HANDLE_VALUE)
            return INVALID_HANDLE_VALUE;
        folder = root;
    }
    size_t bytes = wcslen(name) * sizeof(wchar_t);
    CountedName counted = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), name};
    ObjectAttributes attributes = {sizeof attributes, folder, &counted, kObjCaseInsensitive, nullptr, nullptr};
    IoStatus io;
    HANDLE file = nullptr;
    LONG status = bytes > 0xFFFE ? kStatusObjectNameCollision + 1
                                 : sys::NtCreateFile(&file, GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &io,
                                                     nullptr, FILE_ATTRIBUTE_NORMAL, 0, kFileCreate,
                                                     kFileNonDirectoryFile | kFileSynchronousIoNonAlert |
                                                         kFileOpenReparsePoint,
                                                     nullptr, 0);
    if (root != INVALID_HANDLE_VALUE)
        sys::CloseHandle(root);
    if (status >= 0)
        return file;
    SetLastError(status == kStatusObjectNameCollision ? ERROR_FILE_EXISTS
                 : status == kStatusNotImplemented    ? ERROR_CALL_NOT_IMPLEMENTED
                                                      : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

int SetAttributesByHandle(HANDLE file, DWORD attributes)
{
    BasicInformation basic;
    memset(&basic, 0, sizeof basic);
    basic.attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    IoStatus io;
    return sys::NtSetInformationFile(file, &io, &basic, sizeof basic, kFileBasicInformation) >= 0;
}

int MarkForDeletionByHandle(HANDLE file)
{
    BOOLEAN deleteFile = TRUE;
    IoStatus io;
    return sys::NtSetInformationFile(file, &io, &deleteFile, sizeof deleteFile, kFileDispositionInformation) >= 0;
}

int HeldClearHoldingAttributes(HeldPath *held)
{
    const DWORD holding = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!(held->attributes & holding))
        return 0;
    DWORD attributes = held->attributes & ~holding;
    if (!SetAttributesByHandle(held->file, attributes))
        return -1;
    held->attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return 1;
}

// Removes the empty folder at path that this call made, when the name still
// leads to that very folder and not to one put in its place meanwhile.
static void TakeBackFolder(const wchar_t *path, const FileIdentity *made)
{
    HANDLE folder = sys::CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return;
    FileIdentity found;
    if (FileIdentityOf(folder, &found) && SameFileIdentity(made, &found) && !HandleIsFile(folder))
        MarkForDeletionByHandle(folder);
    sys::CloseHandle(folder);
}

// Only SYSTEM and administrators may change it, and what is made inside
// inherits that; owned by the Administrators group.
static const wchar_t kToolFolderAcl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Opens the folder at path and answers its handle, held without delete
// sharing, when it is a folder, no link, and only administrators can change
// it; else INVALID_HANDLE_VALUE. make: made first where missing, with the
// tool's ACL.
static HANDLE HoldOwnFolder(const wchar_t *path, int make, DWORD deleteAccess = 0)
{
    BOOL made = FALSE;
    if (make) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!sys::ConvertStringSecurityDescriptorToSecurityDescriptorW(kToolFolderAcl, kSddlRevision, &descriptor,
                                                                       nullptr))
            return INVALID_HANDLE_VALUE;  // a folder without that ACL would be no safer than the file's own
        SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
        made = sys::CreateDirectoryW(path, &security);
        DWORD error = GetLastError();
        sys::LocalFree(descriptor);
        if (!made && error != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    // Held without the right to delete it: a listing of the folder opens it
    // sharing no deletion on some systems, and would be refused.
    HANDLE folder = sys::CreateFileW(path,
                                     FILE_READ_ATTRIBUTES | READ_CONTROL | FILE_ADD_FILE | SYNCHRONIZE | deleteAccess,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DWORD attributes = 0;
    // Whoever made the name: its maker, or anyone it lets in, could change
    // what waits in it before the restart, or plant an entry.
    int link = IsLink(folder, path, &attributes);
    if (link != 0 || !(attributes & FILE_ATTRIBUTE_DIRECTORY) || !OnlyAdministratorsChange(folder)) {
        // Made by this call yet not the tool's (a volume without owners, a
        // system that keeps none): no empty folder is left behind for each
        // try. Through the handle checked, never whatever the name leads to.
        FileIdentity checked = {0, 0, 0, 0};
        if (made && link == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            FileIdentityOf(folder, &checked);
        sys::CloseHandle(folder);
        if (checked.known)
            TakeBackFolder(path, &checked);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

// Holds the tool's folder at path, and sub inside it when given (path then
// names sub). Answers 1 when both are the tool's own.
static int HoldToolFolderAt(wchar_t *path, const wchar_t *sub, int make, HANDLE *tool, HANDLE *subFolder)
{
    *tool = HoldOwnFolder(path, make);
    if (*tool == INVALID_HANDLE_VALUE)
        return 0;
    if (sub == nullptr)
        return 1;
    size_t length = wcslen(path);
    wcscat(path, L"\\");
    wcscat(path, sub);
    *subFolder = HoldOwnFolder(path, make);
    if (*subFolder != INVALID_HANDLE_VALUE)
        return 1;
    path[length] = L'\0';
    sys::CloseHandle(*tool);
    *tool = INVALID_HANDLE_VALUE;
    return 0;
}

// A name for a tool's folder nobody can make ready in advance: the tool's
// name and 64 bits of the system's random source.
static int UnguessableName(wchar_t *name, size_t size)
{
    HCRYPTPROV provider = 0;
    if (!sys::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return 0;
    unsigned char bytes[8];
    int had = sys::CryptGenRandom(provider, sizeof bytes, bytes) != 0;
    sys::CryptReleaseContext(provider, 0);
    if (!had)
        return 0;
    _snwprintf(name, size, L"" TOOL_FOLDER_NAME L".%02X%02X%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1],
               bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    name[size - 1] = L'\0';
    return 1;
}

static int HoldToolFolderNow(wchar_t drive, const wchar_t *sub, int make, HANDLE *tool, HANDLE *subFolder,
                             wchar_t *path)
{
    const wchar_t root[] = {L'\\', L'\\', L'?', L'\\', drive, L':', L'\\', L'\0'};
    wchar_t pattern[32];
    _snwprintf(pattern, 32, L"%ls" TOOL_FOLDER_NAME L"*", root);
    pattern[31] = L'\0';
    // Found again by the test alone: the first folder of the tool's names
    // that only administrators can change.
    WIN32_FIND_DATAW found;
    HANDLE search = sys::FindFirstFileW(pattern, &found);
    int held = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcslen(found.cFileName) > 64)
                continue;
            wcscpy(path, root);
            wcscat(path, found.cFileName);
            held = HoldToolFolderAt(path, sub, make, tool, subFolder);
        } while (!held && sys::FindNextFileW(search, &found));
        sys::FindClose(search);
    }
    if (held)
        return 1;
    if (!make) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // nothing of the tool's is there
        return 0;
    }
    // None there yet: the tool's plain name, made now, is its own. Someone
    // else holds every name there is: a new one of the tool's own.
    wcscpy(path, root);
    wcscat(path, L"" TOOL_FOLDER_NAME);
    if (HoldToolFolderAt(path, sub, make, tool, subFolder))
        return 1;
    for (int attempt = 0; attempt < 4; ++attempt) {
        wchar_t name[64];
        if (!UnguessableName(name, 64))
            return 0;
        wcscpy(path, root);
        wcscat(path, name);
        if (HoldToolFolderAt(path, sub, make, tool, subFolder))
            return 1;
    }
    return 0;
}

namespace {

// The tool's folder held as a timed call: the listing of the drive's root
// and the opens of the folders wait on whoever holds those names.
struct TimedToolFolder {
    wchar_t drive;
    int make, hasSub, answer;
    DWORD error;
    HANDLE tool, subFolder;
    wchar_t sub[65];
    wchar_t path[MAX_PATH];
};

}  // namespace

static void HoldToolFolderInTime(void *work)
{
    TimedToolFolder *folder = static_cast<TimedToolFolder *>(work);
    folder->answer = HoldToolFolderNow(folder->drive, folder->hasSub ? folder->sub : nullptr, folder->make,
                                       &folder->tool, &folder->subFolder, folder->path);
    folder->error = GetLastError();
}

static void ReleaseLateToolFolder(void *work)
{
    TimedToolFolder *folder = static_cast<TimedToolFolder *>(work);
    if (folder->subFolder != INVALID_HANDLE_VALUE)
        sys::CloseHandle(folder->subFolder);
    if (folder->tool != INVALID_HANDLE_VALUE)
        sys::CloseHandle(folder->tool);
}

int HoldToolFolder(wchar_t drive, const wchar_t *sub, int make, HANDLE *tool, HANDLE *subFolder, wchar_t *path)
{
    *tool = INVALID_HANDLE_VALUE;
    if (subFolder != nullptr)
        *subFolder = INVALID_HANDLE_VALUE;
    if (sub != nullptr && (subFolder == nullptr || wcslen(sub) > 64))
        return 0;
    TimedToolFolder *folder = static_cast<TimedToolFolder *>(sys::malloc(sizeof(TimedToolFolder)));
    if (folder == nullptr)
        return HoldToolFolderNow(drive, sub, make, tool, subFolder, path);
    memset(folder, 0, sizeof *folder);
    folder->drive = drive;
    folder->make = make;
    folder->hasSub = sub != nullptr;
    if (sub != nullptr)
        wcscpy(folder->sub, sub);
    folder->tool = folder->subFolder = INVALID_HANDLE_VALUE;
    if (!CallInTime(HoldToolFolderInTime, ReleaseLateToolFolder, folder)) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    int answer = folder->answer;
    if (answer) {
        *tool = folder->tool;
        if (subFolder != nullptr)
            *subFolder = folder->subFolder;
        wcscpy(path, folder->path);
    }
    DWORD error = folder->error;
    sys::free(folder);
    SetLastError(error);
    return answer;
}

// The drives ('A' is bit 0) whose tool's folder this run has parked files in.
static volatile LONG g_parkedDrives;

// Makes (when missing) and holds the tool's folder at the root of the file's
// volume; answers 1 when it is there, is no link and only administrators can
// change it.
static int HoldParkingFolder(HeldPath *held, wchar_t *folderPath)
{
    size_t root = DriveRootLength(held->wide);
    if (root == 0)
        return 0;
    wchar_t drive = held->wide[4];
    if (!HoldToolFolder(drive, nullptr, 1, &held->toolFolder, nullptr, folderPath))
        return 0;
    wchar_t upper = static_cast<wchar_t>(drive & ~0x20);
    if (upper >= L'A' && upper <= L'Z')
        InterlockedOr(&g_parkedDrives, 1L << (upper - L'A'));
    return 1;
}

// The folders' removal, as a timed call: the listing of a drive's root and
// the opens wait on whoever holds those names. work: the drives, in a block.
static void RemoveEmptyParkingFoldersNow(void *work)
{
    LONG drives = *static_cast<LONG *>(work);
    for (int bit = 0; bit < 26; ++bit) {
        if (!(drives & (1L << bit)))
            continue;
        const wchar_t root[] = {L'\\', L'\\', L'?', L'\\', static_cast<wchar_t>(L'A' + bit), L':', L'\\', L'\0'};
        wchar_t pattern[32];
        _snwprintf(pattern, 32, L"%ls" TOOL_FOLDER_NAME L"*", root);
        pattern[31] = L'\0';
        WIN32_FIND_DATAW found;
        HANDLE search = sys::FindFirstFileW(pattern, &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcslen(found.cFileName) > 64)
                continue;
            wchar_t path[MAX_PATH];
            wcscpy(path, root);
            wcscat(path, found.cFileName);
            // Only a folder of the tool's own, through the handle checked; the
            // system refuses to delete one that still holds anything (a file
            // waiting for the restart, the quarantine).
            HANDLE folder = HoldOwnFolder(path, 0, DELETE);
            if (folder == INVALID_HANDLE_VALUE)
                continue;
            MarkForDeletionByHandle(folder);
            sys::CloseHandle(folder);
        } while (sys::FindNextFileW(search, &found));
        sys::FindClose(search);
    }
}

void RemoveEmptyParkingFolders(void)
{
    LONG drives = g_parkedDrives;
    if (drives == 0)
        return;
    LONG *work = static_cast<LONG *>(sys::malloc(sizeof(LONG)));
    if (work == nullptr) {
        RemoveEmptyParkingFoldersNow(&drives);
        return;
    }
    *work = drives;
    if (CallInTime(RemoveEmptyParkingFoldersNow, nullptr, work))
        sys::free(work);
}

int HeldMoveToToolFolder(HeldPath *held, char *newPath, size_t size)
{
    if (!held->canDelete)
        return 0;
    wchar_t folderPath[MAX_PATH];
    if (!HoldParkingFolder(held, folderPath))
        return 0;
    // The file's own index names it; a name left by an earlier run's copy
    // that never went makes the next one try another.
    union {
        struct {
            BOOLEAN replaceIfExists;
            HANDLE rootDirectory;
            ULONG nameLength;
            WCHAR name[64];
        } info;
        BYTE bytes[128 + 64 * sizeof(WCHAR)];
    } rename;
    wchar_t name[64];
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        _snwprintf(name, 64, L"%08lX%08lX-%u.del", held->identity.indexHigh, held->identity.indexLow, attempt);
        name[63] = L'\0';
        memset(&rename, 0, sizeof rename);
        rename.info.replaceIfExists = FALSE;
        rename.info.rootDirectory = held->toolFolder;  // relative to the held folder: no path to follow
        rename.info.nameLength = static_cast<ULONG>(wcslen(name) * sizeof(WCHAR));
        memcpy(rename.info.name, name, rename.info.nameLength);
        IoStatus io;
        LONG status = sys::NtSetInformationFile(held->file, &io, &rename, sizeof rename, kFileRenameInformation);
        if (status >= 0)
            break;
        if (status != static_cast<LONG>(0xC0000035L))  // anything but "name collision" ends it
            return 0;
        if (attempt == 15)
            return 0;
    }
    // The path the file now has, in both forms (the wide buffer holds far
    // more than a folder at a root and a name).
    wcscpy(held->wide, folderPath);
    wcscat(held->wide, L"\\");
    wcscat(held->wide, name);
    if (size != 0 && sys::WideCharToMultiByte(CP_ACP, 0, held->wide + 4, -1, newPath, static_cast<int>(size),
                                              nullptr, nullptr) == 0)
        newPath[0] = '\0';
    return 1;
}

int HeldDelete(HeldPath *held)
{
    return held->canDelete && MarkForDeletionByHandle(held->file);
}

int HeldNameIsGone(HeldPath *held)
{
    if (held->file != INVALID_HANDLE_VALUE)
        sys::CloseHandle(held->file);
    held->file = INVALID_HANDLE_VALUE;
    // A deletion another holder keeps pending leaves the name, or makes it
    // refuse every open: either way it is still there.
    if (sys::GetFileAttributesW(held->wide) != INVALID_FILE_ATTRIBUTES)
        return 0;
    return IsMissingError(GetLastError());
}

void HeldCloseFile(HeldPath *held)
{
    if (held->file != INVALID_HANDLE_VALUE)
        sys::CloseHandle(held->file);
    held->file = INVALID_HANDLE_VALUE;
}
