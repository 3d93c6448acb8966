#include "guard/registry_path.h"

#include <string.h>

const RegistryRootName RegistryRootNames[4] = {
    {"HKEY_CLASSES_ROOT", 0x80000000u},
    {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u},
    {"HKEY_USERS", 0x80000003u},
};

// ASCII comparison without regard to case, the way the root names are matched.
static int SameTextIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        unsigned char x = (unsigned char)*a;
        unsigned char y = (unsigned char)*b;
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
    }
}

int SplitRegistryPath(char *text, RegistryPathParts *parts)
{
    parts->root = nullptr;
    parts->keyPath = nullptr;
    parts->valueName = nullptr;

    char *slash = strchr(text, '\\');
    if (slash == nullptr)
        return RegistryPathMalformed;
    *slash = '\0';
    char *valueName;
    if (slash[1] == '\\') {
        valueName = slash + 2;  // directly under the root key
    } else {
        // The key path runs to the first pair of backslashes; single ones
        // separate its levels.
        char *keyPath = slash + 1;
        char *pair = strstr(keyPath, "\\\\");
        if (pair == nullptr)
            return RegistryPathMalformed;
        *pair = '\0';
        parts->keyPath = keyPath;
        valueName = pair + 2;
    }

    char *bar = strchr(valueName, '|');
    if (bar != nullptr) {
        *bar = '\0';
    } else {
        size_t length = strlen(valueName);
        while (length > 0 && valueName[length - 1] == ' ')
            valueName[--length] = '\0';
    }

    for (const RegistryRootName &root : RegistryRootNames) {
        if (SameTextIgnoringCase(text, root.name)) {
            parts->root = &root;
            parts->valueName = valueName;
            return RegistryPathOk;
        }
    }
    parts->keyPath = nullptr;
    return RegistryPathMalformed;
}
