#include "persist/autostart_cleanup.h"

void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName)
{
    (void)hive;  // no value is deleted yet
    (void)keyPath;
    (void)valueName;
}

void RemoveStartupCopies(void)
{
}
