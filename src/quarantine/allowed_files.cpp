#include "quarantine/allowed_files.h"
#include "base/platform.h"
#include "sys/syscalls.h"

#include <string.h>

// The tool's own key, where the run's result is written too: under
// HKEY_LOCAL_MACHINE\SOFTWARE only administrators may make or change a key.
static const char kToolKey[] = "SOFTWARE\\Tavrel\\T-Vornik";
static const char kAllowedValue[] = "Allowed";

// The run's set: hashes in lower-case hex with their NUL.
static char (*g_allowed)[kSha256Digits + 1];
static unsigned g_allowedCount, g_allowedCapacity;

static int HexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int IsSha256Text(const char *text, size_t length)
{
    if (length != kSha256Digits)
        return 0;
    for (size_t i = 0; i < length; ++i)
        if (!HexDigit(text[i]))
            return 0;
    return 1;
}

// The 64 digits at text in lower case, with a NUL, into hex.
static void LowerHex(const char *text, char *hex)
{
    for (int i = 0; i < kSha256Digits; ++i)
        hex[i] = text[i] >= 'A' && text[i] <= 'F' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    hex[kSha256Digits] = '\0';
}

// Adds the 64 digits at text to the run's set. Answers 0 without memory.
static int AddToSet(const char *text)
{
    // A hash listed twice costs a slot, not a search per hash added.
    char hex[kSha256Digits + 1];
    LowerHex(text, hex);
    if (g_allowedCount == g_allowedCapacity) {
        unsigned capacity = g_allowedCapacity == 0 ? 16 : 2 * g_allowedCapacity;
        auto grown = static_cast<char(*)[kSha256Digits + 1]>(sys::malloc(capacity * sizeof *g_allowed));
        if (grown == nullptr)
            return 0;
        if (g_allowedCount != 0)
            memcpy(grown, g_allowed, g_allowedCount * sizeof *g_allowed);
        sys::free(g_allowed);
        g_allowed = grown;
        g_allowedCapacity = capacity;
    }
    memcpy(g_allowed[g_allowedCount++], hex, sizeof hex);
    return 1;
}

int IsAllowedSha256(const char *hex)
{
    for (unsigned i = 0; i < g_allowedCount; ++i)
        if (memcmp(g_allowed[i], hex, kSha256Digits) == 0)
            return 1;
    return 0;
}

unsigned AllowedCount(void)
{
    return g_allowedCount;
}

void FreeAllowed(void)
{
    sys::free(g_allowed);
    g_allowed = nullptr;
    g_allowedCount = g_allowedCapacity = 0;
}

// The view the run's result is in: on 64-bit Windows the 64-bit one.
static REGSAM ToolKeyView(void)
{
    return IsWow64() ? KEY_WOW64_64KEY : 0;
}

// Reads the value from the open key into list, ended by two NULs whatever
// the value holds. Another type than REG_MULTI_SZ reads as nothing stored.
static long ReadAllowedValue(HKEY key, MachineAllowed *list)
{
    DWORD type = 0, size = 0;
    LONG status = sys::RegQueryValueExA(key, kAllowedValue, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_MULTI_SZ)
        return 0;
    char *strings = static_cast<char *>(sys::malloc(size + 2));
    if (strings == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    status = sys::RegQueryValueExA(key, kAllowedValue, nullptr, &type, reinterpret_cast<BYTE *>(strings), &size);
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        sys::free(strings);
        return status != ERROR_SUCCESS ? status : 0;
    }
    strings[size] = strings[size + 1] = '\0';
    list->strings = strings;
    return 0;
}

long ReadMachineAllowed(MachineAllowed *list)
{
    list->strings = nullptr;
    HKEY key = nullptr;
    LONG status = sys::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kToolKey, 0, KEY_QUERY_VALUE | ToolKeyView(), &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    if (status != ERROR_SUCCESS)
        return status;
    status = ReadAllowedValue(key, list);
    sys::RegCloseKey(key);
    return status;
}

void FreeMachineAllowed(MachineAllowed *list)
{
    sys::free(list->strings);
    list->strings = nullptr;
}

// 1 when the stored string names a hash: its 64 digits, then its end or a space.
static int StringHoldsHash(const char *string)
{
    size_t length = strlen(string);
    return length >= kSha256Digits && IsSha256Text(string, kSha256Digits) &&
           (string[kSha256Digits] == '\0' || string[kSha256Digits] == ' ');
}

long LoadMachineAllowed(void)
{
    MachineAllowed list;
    long status = ReadMachineAllowed(&list);
    // A string that names no hash spares nothing.
    for (const char *at = list.strings; status == 0 && at != nullptr && *at != '\0'; at += strlen(at) + 1)
        if (StringHoldsHash(at) && !AddToSet(at))
            status = ERROR_NOT_ENOUGH_MEMORY;
    FreeMachineAllowed(&list);
    if (status != 0)
        FreeAllowed();
    return status;
}

// Reads the whole file, at most kAllowListLimit bytes, into *text (NUL-ended).
static int ReadListFile(const char *path, char **text, unsigned long *detail)
{
    *text = nullptr;
    HANDLE file = sys::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *detail = GetLastError();
        return kAllowListUnreadable;
    }
    char *buffer = static_cast<char *>(sys::malloc(kAllowListLimit + 2));
    unsigned long total = 0;
    int result = buffer != nullptr ? kAllowListRead : kAllowListUnreadable;
    *detail = buffer != nullptr ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    while (result == kAllowListRead) {
        DWORD read = 0;
        if (!sys::ReadFile(file, buffer + total, kAllowListLimit + 1 - total, &read, nullptr)) {
            *detail = GetLastError();
            result = kAllowListUnreadable;
        } else if (read == 0) {
            break;
        } else if ((total += read) > kAllowListLimit) {
            result = kAllowListTooLarge;
        }
    }
    sys::CloseHandle(file);
    if (result != kAllowListRead) {
        sys::free(buffer);
        return result;
    }
    buffer[total] = '\0';
    *text = buffer;
    return kAllowListRead;
}

// The hash a line holds, past the spaces and tabs around it; null for a
// line to pass over, and *bad set for one that holds something else.
static const char *LineHash(const char *line, size_t length, int *bad)
{
    *bad = 0;
    while (length > 0 && (*line == ' ' || *line == '\t'))
        ++line, --length;
    while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t' || line[length - 1] == '\r'))
        --length;
    if (length == 0 || *line == '#')
        return nullptr;
    if (!IsSha256Text(line, length)) {
        *bad = 1;
        return nullptr;
    }
    return line;
}

// Goes through the lines of text: checks them all (adding none) or, with
// add, adds each hash. Answers kAllowListRead, or kAllowListBadLine with the
// line's number in *detail.
static int WalkListLines(const char *text, int add, unsigned long *detail, unsigned *count)
{
    // A byte-order mark, as Notepad writes one, is no part of the first line.
    if (memcmp(text, "\xEF\xBB\xBF", 3) == 0)
        text += 3;
    unsigned long number = 0;
    *count = 0;
    for (const char *line = text; *line != '\0';) {
        const char *end = strchr(line, '\n');
        size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        ++number;
        int bad = 0;
        const char *hash = LineHash(line, length, &bad);
        if (bad) {
            *detail = number;
            return kAllowListBadLine;
        }
        if (hash != nullptr) {
            ++*count;
            if (add && !AddToSet(hash)) {
                *detail = ERROR_NOT_ENOUGH_MEMORY;
                return kAllowListUnreadable;
            }
        }
        line += length + (end != nullptr ? 1 : 0);
    }
    return kAllowListRead;
}

int AddAllowListFile(const char *path, unsigned long *detail, unsigned *count)
{
    *count = 0;
    char *text = nullptr;
    int result = ReadListFile(path, &text, detail);
    if (result == kAllowListRead)
        result = WalkListLines(text, 0, detail, count);
    if (result == kAllowListRead)
        result = WalkListLines(text, 1, detail, count);
    sys::free(text);
    return result;
}

// Writes strings (each NUL-ended, then one more NUL; size bytes in all) as
// the value, or deletes the value when it holds none.
static long WriteAllowedValue(HKEY key, const char *strings, size_t size)
{
    if (size <= 1) {
        LONG status = sys::RegDeleteValueA(key, kAllowedValue);
        return status == ERROR_FILE_NOT_FOUND ? 0 : status;
    }
    return sys::RegSetValueExA(key, kAllowedValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(strings),
                               static_cast<DWORD>(size));
}

// Opens the tool's key to change the list, and reads the list there.
static long OpenToChange(HKEY *key, MachineAllowed *list)
{
    list->strings = nullptr;
    LONG status = sys::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kToolKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_QUERY_VALUE | KEY_SET_VALUE | ToolKeyView(), nullptr, key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = ReadAllowedValue(*key, list);
    if (status != 0)
        sys::RegCloseKey(*key);
    return status;
}

// The bytes of the strings, up to and with the NUL that ends the last one.
static size_t StringsLength(const char *strings)
{
    const char *at = strings;
    while (at != nullptr && *at != '\0')
        at += strlen(at) + 1;
    return at != nullptr ? static_cast<size_t>(at - strings) : 0;
}

// 1 when the stored string names the hash whose lower-case digits are hex.
static int StringNames(const char *string, const char *hex)
{
    if (!StringHoldsHash(string))
        return 0;
    char stored[kSha256Digits + 1];
    LowerHex(string, stored);
    return memcmp(stored, hex, kSha256Digits) == 0;
}

long AllowOnMachine(const char *text, const char *note)
{
    char hex[kSha256Digits + 1];
    LowerHex(text, hex);
    HKEY key = nullptr;
    MachineAllowed list;
    long status = OpenToChange(&key, &list);
    if (status != 0)
        return status;
    for (const char *at = list.strings; at != nullptr && *at != '\0'; at += strlen(at) + 1)
        if (StringNames(at, hex)) {
            FreeMachineAllowed(&list);
            sys::RegCloseKey(key);
            return 0;
        }
    size_t kept = StringsLength(list.strings), added = kSha256Digits + 1 + strlen(note) + 1;
    char *strings = static_cast<char *>(sys::malloc(kept + added + 1));
    if (strings == nullptr) {
        status = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        if (kept != 0)
            memcpy(strings, list.strings, kept);
        memcpy(strings + kept, hex, kSha256Digits);
        strings[kept + kSha256Digits] = ' ';
        strcpy(strings + kept + kSha256Digits + 1, note);
        strings[kept + added] = '\0';
        status = WriteAllowedValue(key, strings, kept + added + 1);
        sys::free(strings);
    }
    FreeMachineAllowed(&list);
    sys::RegCloseKey(key);
    return status;
}

long DisallowOnMachine(const char *text)
{
    char hex[kSha256Digits + 1];
    LowerHex(text, hex);
    HKEY key = nullptr;
    MachineAllowed list;
    long status = OpenToChange(&key, &list);
    if (status != 0)
        return status;
    // The strings are copied over themselves, the hash's left out.
    status = ERROR_FILE_NOT_FOUND;
    char *to = list.strings;
    for (const char *at = list.strings; at != nullptr && *at != '\0';) {
        size_t length = strlen(at) + 1;
        if (StringNames(at, hex)) {
            status = 0;
        } else {
            memmove(to, at, length);
            to += length;
        }
        at += length;
    }
    if (status == 0) {
        *to = '\0';
        status = WriteAllowedValue(key, list.strings, static_cast<size_t>(to - list.strings) + 1);
    }
    FreeMachineAllowed(&list);
    sys::RegCloseKey(key);
    return status;
}
