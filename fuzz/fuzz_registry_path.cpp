// Any bytes as a registry path string, cut by SplitRegistryPath and by a
// reference cut written from the format in registry_path.h on a copy:
//   ROOT\Key\Path\\ValueName   or   ROOT\\ValueName,   then an optional "|...".
// The status, the root and every part must agree, each part must point into
// the caller's buffer where the reference says it starts, and a malformed
// string must leave no part set.
#include "guard/registry_path.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char *what, const std::string &text)
{
    fprintf(stderr, "\nregistry path \"%s\": %s\n", text.c_str(), what);
    abort();
}

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int RootIndex(const std::string &text)
{
    for (int index = 0; index < 4; ++index) {
        const char *name = RegistryRootNames[index].name;
        if (text.size() != strlen(name))
            continue;
        size_t at = 0;
        while (at < text.size() && UpperAscii(text[at]) == UpperAscii(name[at]))
            ++at;
        if (at == text.size())
            return index;
    }
    return -1;
}

// The reference cut; offsets into the text, npos for no key path.
struct ReferenceParts {
    int status;
    int root;
    size_t keyPathAt;
    std::string keyPath;
    size_t valueNameAt;
    std::string valueName;
    bool hadBar;
};

ReferenceParts Cut(const std::string &text)
{
    ReferenceParts parts = {RegistryPathMalformed, -1, std::string::npos, "", 0, "", false};
    size_t slash = text.find('\\');
    if (slash == std::string::npos)
        return parts;
    if (slash + 1 < text.size() && text[slash + 1] == '\\') {
        parts.valueNameAt = slash + 2;
    } else {
        size_t pair = text.find("\\\\", slash + 1);
        if (pair == std::string::npos)
            return parts;
        parts.keyPathAt = slash + 1;
        parts.keyPath = text.substr(slash + 1, pair - slash - 1);
        parts.valueNameAt = pair + 2;
    }
    parts.valueName = text.substr(parts.valueNameAt);
    size_t bar = parts.valueName.find('|');
    parts.hadBar = bar != std::string::npos;
    if (parts.hadBar) {
        parts.valueName.resize(bar);
    } else {
        while (!parts.valueName.empty() && parts.valueName.back() == ' ')
            parts.valueName.pop_back();
    }
    parts.root = RootIndex(text.substr(0, slash));
    if (parts.root >= 0)
        parts.status = RegistryPathOk;
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The buffer the caller owns: the input and a terminator. A zero byte in the
    // input ends the string there.
    std::vector<char> buffer(data, data + size);
    buffer.push_back('\0');
    const std::string text(buffer.data());
    const char *begin = buffer.data();
    const char *end = begin + buffer.size();
    const ReferenceParts expected = Cut(text);

    RegistryPathParts parts;
    memset(&parts, 0xA5, sizeof parts);  // no part may be left as it was
    int status = SplitRegistryPath(buffer.data(), &parts);

    if (status != RegistryPathOk && status != RegistryPathMalformed)
        Fail("a status other than 0 or 4", text);
    if (status != expected.status)
        Fail("the status is not the reference's", text);
    if (status != RegistryPathOk) {
        if (parts.root != nullptr || parts.keyPath != nullptr || parts.valueName != nullptr)
            Fail("a malformed string left a part set", text);
        return 0;
    }

    if (parts.root != &RegistryRootNames[expected.root])
        Fail("not the reference's root", text);
    if (strlen(begin) != text.find('\\'))
        Fail("the root name is not ended at the first backslash", text);

    if (expected.keyPathAt == std::string::npos) {
        if (parts.keyPath != nullptr)
            Fail("a key path for a value directly under the root", text);
    } else {
        if (parts.keyPath != begin + expected.keyPathAt)
            Fail("the key path does not start where the reference's does", text);
        if (parts.keyPath + strnlen(parts.keyPath, static_cast<size_t>(end - parts.keyPath)) >= end ||
            expected.keyPath != parts.keyPath)
            Fail("not the reference's key path", text);
    }

    if (parts.valueName != begin + expected.valueNameAt || parts.valueName >= end)
        Fail("the value name does not start where the reference's does", text);
    if (parts.valueName + strnlen(parts.valueName, static_cast<size_t>(end - parts.valueName)) >= end ||
        expected.valueName != parts.valueName)
        Fail("not the reference's value name", text);
    if (strchr(parts.valueName, '|') != nullptr)
        Fail("a '|' in the value name", text);
    size_t length = strlen(parts.valueName);
    if (!expected.hadBar && length > 0 && parts.valueName[length - 1] == ' ')
        Fail("a trailing space on a value name without '|'", text);
    return 0;
}
