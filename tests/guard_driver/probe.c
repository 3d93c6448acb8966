/*
 * Talks to the guard stand-in's devices the way the tool does and prints
 * what each call answered, one line each:
 *   open NAME handle=0|1 error=N
 *   ioctl CODE result=0|1 error=N returned=N word=HEX
 * word is the 16-bit answer buffer, preset to abcd before each call.
 *
 *   probe nt          the NT-family sequence on \\.\QVPortivaDev: set state
 *                     0, read it, the older protocol with 0, then the same
 *                     with 1; without an OVERLAPPED record
 *   probe nt-ov       the same, each call with an OVERLAPPED record
 *   probe 9x NAME     the 9x control device \\.\NAME: 0x200 with "1", then
 *                     the setting device \\.\qvpv95: 0x7C450
 *   probe pend        with requests left pending: set state with an
 *                     OVERLAPPED record, poll it, CancelIo, wait for it;
 *                     another one, then CloseHandle and wait; a third one
 *                     left pending at exit
 *   probe pend-plain  a set-state request without an OVERLAPPED record
 */

#include <windows.h>
#include <stdio.h>
#include <string.h>

#define NT_DEVICE "\\\\.\\QVPortivaDev"

static HANDLE open_nt(void)
{
    HANDLE h = CreateFileA(NT_DEVICE, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    printf("open QVPortivaDev handle=%d error=%lu\n",
           h != INVALID_HANDLE_VALUE, h == INVALID_HANDLE_VALUE
           ? GetLastError() : 0);
    return h;
}

static void control(HANDLE h, DWORD code, const void *in, DWORD in_length,
                    DWORD out_length, int with_overlapped)
{
    unsigned char buffer[64];
    unsigned short word = 0xabcd;
    DWORD returned = 12345, error;
    OVERLAPPED ov;
    BOOL ok;

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    memset(buffer, 0, sizeof(buffer));
    memcpy(buffer, in, in_length);
    SetLastError(0);
    ok = DeviceIoControl(h, code, in_length ? buffer : NULL, in_length,
                         out_length ? &word : NULL, out_length, &returned,
                         with_overlapped ? &ov : NULL);
    error = GetLastError();
    printf("ioctl %lX result=%d error=%lu returned=%lu word=%04x\n", code, ok,
           ok ? 0 : error, returned, word);
    CloseHandle(ov.hEvent);
}

static void nt_sequence(int with_overlapped)
{
    HANDLE h = open_nt();
    int value;
    if (h == INVALID_HANDLE_VALUE)
        return;
    for (value = 0; value <= 1; value++) {
        char digit[2] = {(char)('0' + value), 0};
        control(h, 0x7E800, digit, 2, 0, with_overlapped);
        control(h, 0x7F010, NULL, 0, 2, with_overlapped);
        control(h, 0x7C454, &value, 4, 0, with_overlapped);
    }
    CloseHandle(h);
}

static void sequence_9x(const char *name)
{
    char path[64];
    static const char oid[] = "1.3.6.1.4.1.4721.12.1.111.2.10";
    unsigned char setting[sizeof(oid) + 4];
    DWORD state = 1;
    HANDLE h;

    snprintf(path, sizeof(path), "\\\\.\\%s", name);
    h = CreateFileA(path, 0, 0, NULL, 0, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    printf("open %s handle=%d error=%lu\n", name, h != INVALID_HANDLE_VALUE,
           h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (h != INVALID_HANDLE_VALUE) {
        control(h, 0x200, "1", 2, 0, 0);
        CloseHandle(h);
    }
    h = CreateFileA("\\\\.\\qvpv95", 0, 0, NULL, 0, FILE_FLAG_OVERLAPPED,
                    NULL);
    printf("open qvpv95 handle=%d error=%lu\n", h != INVALID_HANDLE_VALUE,
           h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (h != INVALID_HANDLE_VALUE) {
        memcpy(setting, oid, sizeof(oid));
        memcpy(setting + sizeof(oid), &state, 4);
        control(h, 0x7C450, setting, sizeof(oid), 0, 0);
        CloseHandle(h);
    }
}

/* Starts a set-state request with an OVERLAPPED record; prints what the
 * call answered. */
static BOOL start_pending(HANDLE h, OVERLAPPED *ov)
{
    BOOL ok;
    DWORD returned = 12345;
    memset(ov, 0, sizeof(*ov));
    ov->hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetLastError(0);
    ok = DeviceIoControl(h, 0x7E800, "0", 2, NULL, 0, &returned, ov);
    printf("ioctl 7E800 result=%d error=%lu returned=%lu\n", ok,
           ok ? 0 : GetLastError(), returned);
    return ok;
}

static void print_wait(const char *what, OVERLAPPED *ov, DWORD ms)
{
    DWORD wait = WaitForSingleObject(ov->hEvent, ms);
    printf("%s wait=%lu internal=%08lx\n", what, wait,
           (unsigned long)ov->Internal);
}

static void print_result(const char *what, HANDLE h, OVERLAPPED *ov,
                         BOOL block)
{
    DWORD transferred = 12345;
    BOOL ok;
    SetLastError(0);
    ok = GetOverlappedResult(h, ov, &transferred, block);
    printf("%s result=%d error=%lu transferred=%lu\n", what, ok,
           ok ? 0 : GetLastError(), transferred);
}

static void pend(void)
{
    OVERLAPPED ov;
    HANDLE h = open_nt();
    if (h == INVALID_HANDLE_VALUE)
        return;

    start_pending(h, &ov);
    print_wait("before-cancel", &ov, 300);
    print_result("poll", h, &ov, FALSE);
    SetLastError(0);
    printf("cancelio result=%d error=%lu\n", CancelIo(h), GetLastError());
    print_wait("after-cancel", &ov, 2000);
    print_result("after-cancel", h, &ov, TRUE);

    start_pending(h, &ov);
    print_wait("before-close", &ov, 300);
    printf("closehandle result=%d\n", CloseHandle(h));
    print_wait("after-close", &ov, 2000);

    h = open_nt();
    start_pending(h, &ov);
    printf("exit\n");
    fflush(stdout);
    ExitProcess(0);
}

static void pend_plain(void)
{
    DWORD returned = 12345;
    BOOL ok;
    HANDLE h = open_nt();
    if (h == INVALID_HANDLE_VALUE)
        return;
    SetLastError(0);
    ok = DeviceIoControl(h, 0x7E800, "0", 2, NULL, 0, &returned, NULL);
    printf("ioctl 7E800 result=%d error=%lu returned=%lu\n", ok,
           ok ? 0 : GetLastError(), returned);
    SetLastError(0);
    printf("cancelio result=%d error=%lu\n", CancelIo(h), GetLastError());
    Sleep(300);
    printf("closehandle result=%d\n", CloseHandle(h));
}

int main(int argc, char **argv)
{
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    printf("platform %lu %lu.%lu\n", version.dwPlatformId,
           version.dwMajorVersion, version.dwMinorVersion);
    if (argc >= 2 && !strcmp(argv[1], "nt"))
        nt_sequence(0);
    else if (argc >= 2 && !strcmp(argv[1], "nt-ov"))
        nt_sequence(1);
    else if (argc >= 3 && !strcmp(argv[1], "9x"))
        sequence_9x(argv[2]);
    else if (argc >= 2 && !strcmp(argv[1], "pend"))
        pend();
    else if (argc >= 2 && !strcmp(argv[1], "pend-plain"))
        pend_plain();
    else {
        fprintf(stderr, "usage: probe nt|nt-ov|9x NAME|pend|pend-plain\n");
        return 2;
    }
    return 0;
}
