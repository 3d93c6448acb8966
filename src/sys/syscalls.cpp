#include "sys/syscalls.h"

#include <string.h>

namespace sysopt {

static const OptionalRow kOptionalRows[] = {
#define VORNIK_OPTIONAL_ROW(X, name, library, prototype, when, missing, error) \
    {#name, library, when, static_cast<intptr_t>(missing), static_cast<DWORD>(error)},
    VORNIK_OPTIONAL_SYSCALLS(VORNIK_OPTIONAL_ROW, _)
#undef VORNIK_OPTIONAL_ROW
};

// What each optional row found: null until found, and where the system has
// none. Two threads may look at once: they find the same one.
static FARPROC g_entries[OptionalCount];

FARPROC Entry(int row)
{
    // The door's own look-up, straight to the system: the table's rows may
    // be swapped by a test, and a library every process of the NT family
    // has loaded is asked again until it answers.
    if (g_entries[row] == nullptr && kOptionalRows[row].when == kOnCall) {
        HMODULE library = ::GetModuleHandleA(kOptionalRows[row].library);
        g_entries[row] = library != nullptr ? ::GetProcAddress(library, kOptionalRows[row].name) : nullptr;
    }
    return g_entries[row];
}

intptr_t Missing(int row)
{
    if (kOptionalRows[row].error != 0)
        SetLastError(kOptionalRows[row].error);
    return kOptionalRows[row].missing;
}

}  // namespace sysopt

namespace sys {

#define VORNIK_DEFINE_SYSCALL(name, real) decltype(&real) name = &real;
VORNIK_SYSCALLS(VORNIK_DEFINE_SYSCALL)
#undef VORNIK_DEFINE_SYSCALL

// The optional row of a slot: its index, or -1.
static int OptionalRowOfSlot(void **slot)
{
#define VORNIK_OPTIONAL_SLOT(X, name, library, prototype, when, missing, error) \
    if (slot == reinterpret_cast<void **>(&sys::name))                         \
        return sysopt::Optional_##name;
    VORNIK_OPTIONAL_SYSCALLS(VORNIK_OPTIONAL_SLOT, _)
#undef VORNIK_OPTIONAL_SLOT
    return -1;
}

int FindEntryOfSlot(void **slot, HMODULE module)
{
    int row = OptionalRowOfSlot(slot);
    if (row < 0)
        return 0;
    sysopt::g_entries[row] = module != nullptr ? sys::GetProcAddress(module, sysopt::kOptionalRows[row].name) : nullptr;
    return sysopt::g_entries[row] != nullptr;
}

int FindEntryInItsLibraryOfSlot(void **slot)
{
    int row = OptionalRowOfSlot(slot);
    if (row < 0)
        return 0;
    return FindEntryOfSlot(slot, sys::GetModuleHandleA(sysopt::kOptionalRows[row].library));
}

// A plain row's function is named by its real function ("::_getch"); an
// optional row's by its own name.
static const char *FunctionName(const char *name, const char *real)
{
    return strncmp(real, "::sysopt::", 10) == 0 ? name : real + 2;
}

static const char *LibraryOf(const char *name, const char *real)
{
    if (strncmp(real, "::sysopt::", 10) != 0)
        return nullptr;
    for (const sysopt::OptionalRow &row : sysopt::kOptionalRows)
        if (strcmp(row.name, name) == 0)
            return row.library;
    return nullptr;
}

const SysCallRow *SysCallTable()
{
#define VORNIK_SYSCALL_ROW(name, real)                                                                \
    {#name, reinterpret_cast<void **>(&sys::name), reinterpret_cast<void *>(&real), FunctionName(#name, #real), \
     LibraryOf(#name, #real)},
    static const SysCallRow rows[] = {VORNIK_SYSCALLS(VORNIK_SYSCALL_ROW){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef VORNIK_SYSCALL_ROW
    return rows;
}

int RestoreSysCall(const char *name)
{
    int matched = 0;
    for (const SysCallRow *row = SysCallTable(); row->name != nullptr; ++row) {
        if (name == nullptr || strcmp(row->name, name) == 0) {
            *row->slot = row->original;
            matched = 1;
        }
    }
    return matched;
}

}  // namespace sys
