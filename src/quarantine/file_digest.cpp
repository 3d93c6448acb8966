#include "quarantine/file_digest.h"
#include "base/platform.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"

#include <stdio.h>

int Sha256Start(Sha256Hash *state)
{
    state->provider = 0;
    state->hash = 0;
    HCRYPTPROV provider = 0;
    if (!sys::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    HCRYPTHASH hash = 0;
    if (!sys::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        sys::CryptReleaseContext(provider, 0);
        return 0;
    }
    state->provider = provider;
    state->hash = hash;
    return 1;
}

int Sha256Add(Sha256Hash *state, const void *bytes, unsigned long length)
{
    return state->hash != 0 && sys::CryptHashData(state->hash, static_cast<const BYTE *>(bytes), length, 0);
}

int Sha256Finish(Sha256Hash *state, char *hex)
{
    int done = 0;
    if (state->hash != 0) {
        BYTE digest[32];
        DWORD digestSize = sizeof digest;
        if (sys::CryptGetHashParam(state->hash, HP_HASHVAL, digest, &digestSize, 0) && digestSize == sizeof digest) {
            for (int i = 0; i < 32; ++i)
                snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            done = 1;
        }
        sys::CryptDestroyHash(state->hash);
    }
    if (state->provider != 0)
        sys::CryptReleaseContext(state->provider, 0);
    state->provider = 0;
    state->hash = 0;
    return done;
}

// Feeds every byte of the file to the hash; answers the bytes read, or -1.
static int64_t HashWholeFile(HANDLE file, Sha256Hash *hash)
{
    unsigned char buffer[8192];
    int64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!sys::ReadFile(file, buffer, sizeof buffer, &read, nullptr))
            return -1;
        if (read == 0)
            return total;
        if (!Sha256Add(hash, buffer, read))
            return -1;
        total += read;
    }
}

int FileHandleSha256(HANDLE file, WormFileFacts *facts)
{
    facts->known = 0;
    Sha256Hash hash;
    if (!Sha256Start(&hash))
        return 0;
    int64_t size =
        sys::SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER ? HashWholeFile(file, &hash) : -1;
    if (Sha256Finish(&hash, facts->sha256) && size >= 0) {
        facts->size = static_cast<uint64_t>(size);
        facts->known = 1;
    }
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
    FileHandleSha256(file, facts);
    sys::CloseHandle(file);
    return facts->known;
}
