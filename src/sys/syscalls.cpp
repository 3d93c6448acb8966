#include "sys/syscalls.h"

#include <string.h>

namespace sys {

#define VORNIK_DEFINE_SYSCALL(name, real) decltype(&real) name = &real;
VORNIK_SYSCALLS(VORNIK_DEFINE_SYSCALL)
#undef VORNIK_DEFINE_SYSCALL

const SysCallRow *SysCallTable()
{
#define VORNIK_SYSCALL_ROW(name, real) \
    {#name, reinterpret_cast<void **>(&sys::name), reinterpret_cast<void *>(&real)},
    static const SysCallRow rows[] = {VORNIK_SYSCALLS(VORNIK_SYSCALL_ROW){nullptr, nullptr, nullptr}};
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
