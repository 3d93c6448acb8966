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
    const char *dot = strrchr(path, '.');
    if (dot == nullptr)
        return 0;
    return MatchPatternList(dot + 1, ScannedExtensions);
}
