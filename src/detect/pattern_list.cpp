#include "detect/pattern_list.h"

#include <ctype.h>
#include <string.h>

const char ScannedExtensions[] = "EXE COM PIF SCR";

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static int SameLetter(char a, char b)
{
    return toupper(static_cast<unsigned char>(a)) == toupper(static_cast<unsigned char>(b));
}

// Matches text against the one pattern that starts at pattern and ends at the
// next blank or the end of the list.
static int MatchOnePattern(const char *text, const char *pattern)
{
    for (; *pattern != '\0' && !IsBlank(*pattern); ++pattern) {
        if (*pattern == '*')
            return 1;
        if (*text == '\0') {
            if (*pattern == '?')
                continue;  // passed over once the text is used up
            return 0;
        }
        if (*pattern != '?' && !SameLetter(*pattern, *text))
            return 0;
        ++text;
    }
    return *text == '\0';
}

int MatchPatternList(const char *text, const char *patternList)
{
    const char *p = patternList;
    for (;;) {
        while (IsBlank(*p))
            ++p;
        if (*p == '\0')
            return 0;
        if (MatchOnePattern(text, p))
            return 1;
        while (*p != '\0' && !IsBlank(*p))
            ++p;
    }
}

int HasScannedExtension(const char *path)
{
    // "w.exe." and "w.exe " keep their trailing dots and spaces on disk, and
    // the system runs them as what the name is without them.
    size_t length = strlen(path);
    while (length > 0 && (path[length - 1] == '.' || path[length - 1] == ' '))
        --length;
    const char *dot = nullptr;
    for (size_t i = 0; i < length; ++i)
        if (path[i] == '.')
            dot = path + i;
    if (dot == nullptr)
        return 0;
    char extension[16];
    size_t extensionLength = length - static_cast<size_t>(dot + 1 - path);
    if (extensionLength >= sizeof extension)
        return 0;  // longer than any extension of the list
    memcpy(extension, dot + 1, extensionLength);
    extension[extensionLength] = '\0';
    return MatchPatternList(extension, ScannedExtensions);
}
