#include "fileops/file_digest.h"
#include "base/platform.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"

#include <stdio.h>

// Feeds every byte of the file to the hash; answers the bytes read, or -1.
static int64_t HashWholeFile(HANDLE file, HCRYPTHASH hash)
{
    unsigned char buffer[8192];
    int64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!sys::ReadFile(file, buffer, sizeof buffer, &read, nullptr))
            return -1;
        if (read == 0)
            return total;
        if (!sys::CryptHashData(hash, buffer, read, 0))
            return -1;
        total += read;
    }
}

// FileSha256 through a handle open for reading, from the file's first byte.
static int HandleSha256(HANDLE file, WormFileFacts *facts)
{
    facts->known = 0;
    HCRYPTPROV provider = 0;
    if (!sys::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    HCRYPTHASH hash = 0;
    if (sys::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        int64_t size = sys::SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
                           ? HashWholeFile(file, hash)
                           : -1;
        BYTE digest[32];
        DWORD digestSize = sizeof digest;
        if (size >= 0 && sys::CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0) &&
            digestSize == sizeof digest) {
            for (int i = 0; i < 32; ++i)
                snprintf(facts->sha256 + 2 * i, 3, "%02x", digest[i]);
            facts->size = static_cast<uint64_t>(size);
            facts->known = 1;
        }
        sys::CryptDestroyHash(hash);
    }
    sys::CryptReleaseContext(provider, 0);
    return facts->known;
}

int FileSha256(const char *path, WormFileFacts *facts)
{
    facts->known = 0;
    // Shared as the fingerprint's read is: the file may be in use.
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (IsWindowsNT() ? FILE_SHARE_DELETE : 0);
    HANDLE file = PathCreateFile(path, GENERIC_READ, share, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    HandleSha256(file, facts);
    sys::CloseHandle(file);
    return facts->known;
}
