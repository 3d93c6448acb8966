// Pattern lists against a reference matcher written from the rules in
// pattern_list.h: blank-separated patterns; letters compare as toupper folds
// them; '?' matches one character, and nothing once the text is used up; '*'
// matches the whole rest of the text. The input is the text, a line end and
// the pattern list. The text (the whole input when there is no line end) is
// also a path for the extension filter, which must agree with the reference
// matcher on what follows its last '.'.
#include "detect/pattern_list.h"

#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

[[noreturn]] void Fail(const char *what, const std::string &text, const std::string &list)
{
    fprintf(stderr, "\ntext \"%s\", pattern list \"%s\": %s\n", text.c_str(), list.c_str(), what);
    abort();
}

bool SameLetter(char a, char b)
{
    return toupper(static_cast<unsigned char>(a)) == toupper(static_cast<unsigned char>(b));
}

// One pattern: what stands before its first '*' is compared position by
// position; without a '*' the text may not be longer than the pattern.
bool ReferenceMatchOne(const std::string &text, const std::string &pattern)
{
    size_t star = pattern.find('*');
    std::string head = pattern.substr(0, star);
    if (star == std::string::npos && text.size() > head.size())
        return false;
    for (size_t at = 0; at < head.size(); ++at) {
        if (head[at] == '?')
            continue;
        if (at >= text.size() || !SameLetter(head[at], text[at]))
            return false;
    }
    return true;
}

bool ReferenceMatchList(const std::string &text, const std::string &list)
{
    size_t at = 0;
    for (;;) {
        at = list.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            return false;
        size_t end = list.find_first_of(" \t", at);
        std::string pattern = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (ReferenceMatchOne(text, pattern))
            return true;
        at = end;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t lineEnd = input.find('\n');
    // What the C functions see: each part up to its first zero byte.
    const std::string text = input.substr(0, lineEnd).c_str();
    const std::string list = lineEnd == std::string::npos ? std::string() : input.substr(lineEnd + 1).c_str();

    int matches = MatchPatternList(text.c_str(), list.c_str());
    if (matches != 0 && matches != 1)
        Fail("an answer other than 0 or 1", text, list);
    if ((matches == 1) != ReferenceMatchList(text, list))
        Fail("MatchPatternList differs from the reference", text, list);

    std::string stripped = text;
    while (!stripped.empty() && (stripped.back() == '.' || stripped.back() == ' '))
        stripped.pop_back();
    size_t dot = stripped.rfind('.');
    bool scanned = dot != std::string::npos && ReferenceMatchList(stripped.substr(dot + 1), ScannedExtensions);
    int answer = HasScannedExtension(text.c_str());
    if (answer != 0 && answer != 1)
        Fail("an extension answer other than 0 or 1", text, ScannedExtensions);
    if ((answer == 1) != scanned)
        Fail("HasScannedExtension differs from the reference", text, ScannedExtensions);
    return 0;
}
