// The resources of the built T-Vornik.exe as Windows reads them: the version
// information Explorer shows (the same version /VER prints) and the manifest
// that asks for elevation.
#include "app/entry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winver.h>

#include <stdio.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

// VORNIK_TOOL_EXE is the Linux path of the built tool; Wine shows the Linux
// root as drive Z:.
std::string ToolPath()
{
    std::string path = VORNIK_TOOL_EXE;
    if (!path.empty() && path[0] == '/') {
        for (char &c : path)
            if (c == '/')
                c = '\\';
        path = "Z:" + path;
    }
    return path;
}

std::string VerOutput()
{
    char program[] = "T-Vornik.exe", option[] = "/VER";
    char *argv[] = {program, option, nullptr};
    CapturedStdout out;
    VornikMain(2, argv);
    return out.Text();
}

class VersionResourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(ToolPath().c_str(), &handle);
        ASSERT_NE(size, 0u) << ToolPath() << " has no version information, error " << GetLastError();
        info_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(ToolPath().c_str(), 0, size, info_.data()));
    }

    // A string of the block the Translation entry names, as Explorer looks it up.
    std::string StringValue(const char *name)
    {
        struct Translation {
            WORD language, codePage;
        } *translations = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(info_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations),
                            &length) ||
            length < sizeof *translations)
            return "<no translation>";
        char query[80];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04X%04X\\%s", translations[0].language,
                 translations[0].codePage, name);
        char *value = nullptr;
        if (!VerQueryValueA(info_.data(), query, reinterpret_cast<void **>(&value), &length) || value == nullptr)
            return "<missing>";
        return value;
    }

    std::vector<char> info_;
};

TEST_F(VersionResourceTest, NumbersAreTheToolsVersion)
{
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info_.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);

    const DWORD ms = MAKELONG(kVersionMinor, kVersionMajor), ls = MAKELONG(0, kVersionBuild);
    EXPECT_EQ(fixed->dwFileVersionMS, ms);
    EXPECT_EQ(fixed->dwFileVersionLS, ls);
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "a release is neither debug nor pre-release";
}

TEST_F(VersionResourceTest, StringsNameTheToolAsItsBannerDoes)
{
    // "T-Vornik v1.00.9340\n"
    std::string ver = VerOutput();
    ASSERT_EQ(ver.compare(0, 10, "T-Vornik v"), 0) << ver;
    std::string version = ver.substr(10, ver.size() - 11);

    EXPECT_EQ(StringValue("FileVersion"), version);
    EXPECT_EQ(StringValue("ProductVersion"), version);
    EXPECT_EQ(StringValue("ProductName"), "T-Vornik");
    EXPECT_EQ(StringValue("OriginalFilename"), "T-Vornik.exe");
    EXPECT_EQ(StringValue("InternalName"), "T-Vornik");
    EXPECT_EQ(StringValue("CompanyName"), "Tavrel");
    EXPECT_EQ(StringValue("LegalCopyright"), "Copyright (c) Tavrel. All rights reserved.");
    EXPECT_EQ(StringValue("FileDescription"), "W32/Vornik removal tool");
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR ids)
{
    reinterpret_cast<std::vector<ULONG_PTR> *>(ids)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD, LONG_PTR count)
{
    ++*reinterpret_cast<int *>(count);
    return TRUE;
}

// Exactly one manifest, under the id the loader reads for a program: a second
// one (a toolchain's default manifest) would leave which one counts to chance.
TEST(VersionResource, OneManifestRequiresAdministratorRights)
{
    HMODULE image = LoadLibraryExA(ToolPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << ToolPath() << ": error " << GetLastError();

    std::vector<ULONG_PTR> ids;
    EnumResourceNamesA(image, RT_MANIFEST, CollectName, reinterpret_cast<LONG_PTR>(&ids));
    ASSERT_EQ(ids, std::vector<ULONG_PTR>{1});
    int languages = 0;
    EnumResourceLanguagesA(image, RT_MANIFEST, MAKEINTRESOURCEA(1), CountLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, 1);

    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), RT_MANIFEST);
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(image, found);
    ASSERT_NE(loaded, nullptr);
    std::string text(static_cast<const char *>(LockResource(loaded)), SizeofResource(image, found));
    EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos) << text;
    FreeLibrary(image);

    // What the system's manifest parser makes of it: a manifest it rejects
    // would stop the program from starting at all.
    ACTCTXA request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    std::string path = ToolPath();
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE context = CreateActCtxA(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "manifest rejected, error " << GetLastError();

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel = {};
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &runLevel,
                             sizeof runLevel, nullptr));
    EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
    EXPECT_EQ(runLevel.UiAccess, 0u);

    // Vista, 7, 8, 8.1 and 10/11: every entry a well-formed GUID the parser
    // kept. (The size of an entry differs between Windows versions; the count
    // leads.)
    std::vector<char> buffer(4096);
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, buffer.data(),
                             buffer.size(), nullptr));
    EXPECT_EQ(reinterpret_cast<ACTIVATION_CONTEXT_COMPATIBILITY_INFORMATION *>(buffer.data())->ElementCount, 5u);
    ReleaseActCtx(context);
}

// The program's header as the loader reads it. Every library it imports is
// loaded by name before the tool's first instruction, so only the system's
// known libraries may be imported (anything else is loaded at run time from
// the system folder), none of them delay-loaded; and it is marked Terminal
// Server aware.
TEST(ProgramHeader, ImportsOnlyTheSystemsKnownLibrariesAndIsTerminalServerAware)
{
    std::string image = ReadWholeFile(ToolPath());
    image.resize(image.size() + 8);  // reads past the end answer zeros
    auto u16 = [&](size_t at) -> size_t { return at + 2 <= image.size() ? *(const WORD *)&image[at] : 0; };
    auto u32 = [&](size_t at) -> size_t { return at + 4 <= image.size() ? *(const DWORD *)&image[at] : 0; };
    size_t pe = u32(0x3C), optional = pe + 24;
    ASSERT_EQ(u32(pe), IMAGE_NT_SIGNATURE);
    ASSERT_EQ(u16(optional), IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_NE(u16(optional + 70) & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, 0);

    // Where a relative address lies in the file, through the section table.
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (size_t entry = optional + u16(pe + 20), i = 0; i < u16(pe + 6); ++i, entry += 40)
            if (rva >= u32(entry + 12) && rva - u32(entry + 12) < u32(entry + 16))
                return rva - u32(entry + 12) + u32(entry + 20);
        return image.size();
    };
    const size_t directories = optional + 96;
    std::vector<std::string> imported;
    for (size_t at = fileOffset(u32(directories + 8 * IMAGE_DIRECTORY_ENTRY_IMPORT)); u32(at + 12) != 0; at += 20) {
        std::string name = image.c_str() + std::min(fileOffset(u32(at + 12)), image.size() - 1);
        CharUpperA(&name[0]);
        imported.push_back(name);
    }
    std::sort(imported.begin(), imported.end());
    EXPECT_EQ(imported, (std::vector<std::string>{"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"}));
    EXPECT_EQ(u32(directories + 8 * IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT), 0u);
}

}  // namespace
