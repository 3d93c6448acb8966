// The resources of the built T-Vornik.exe as Windows reads them: the version
// information Explorer shows (the same version /VER prints) and the manifest
// that asks for elevation.
#include "app/entry.h"
#include "sys/syscalls.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winver.h>

#include <stdio.h>
#include <string.h>
#include <set>
#include <string>
#include <vector>

namespace {

// VORNIK_TOOL_EXE is the Linux path of the built tool; Wine shows the Linux
// root as drive Z:.
std::string WinePath(std::string path)
{
    if (!path.empty() && path[0] == '/') {
        for (char &c : path)
            if (c == '/')
                c = '\\';
        path = "Z:" + path;
    }
    return path;
}

std::string ToolPath() { return WinePath(VORNIK_TOOL_EXE); }
std::string MessagesPath() { return WinePath(VORNIK_MESSAGES_DLL); }

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

// The names the built program imports, read from its import table.
std::vector<std::string> ImportedFunctions()
{
    std::vector<std::string> names;
    FILE *file = fopen(ToolPath().c_str(), "rb");
    if (file == nullptr)
        return names;
    std::vector<unsigned char> image;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        image.insert(image.end(), chunk, chunk + got);
    fclose(file);
    const IMAGE_NT_HEADERS32 *nt =
        reinterpret_cast<const IMAGE_NT_HEADERS32 *>(&image[reinterpret_cast<const IMAGE_DOS_HEADER *>(&image[0])->e_lfanew]);
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    auto at = [&](DWORD rva) -> const unsigned char * {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return &image[rva - sections[i].VirtualAddress + sections[i].PointerToRawData];
        return nullptr;
    };
    DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto *library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(at(importRva));
         library != nullptr && library->Name != 0; ++library) {
        DWORD thunks = library->OriginalFirstThunk != 0 ? library->OriginalFirstThunk : library->FirstThunk;
        for (auto *thunk = reinterpret_cast<const DWORD *>(at(thunks)); thunk != nullptr && *thunk != 0; ++thunk)
            names.push_back((*thunk & IMAGE_ORDINAL_FLAG32) != 0
                                ? "<ordinal>"
                                : reinterpret_cast<const char *>(at(*thunk)) + sizeof(WORD));
    }
    return names;
}

// Every function the program imports is a row of the system-call table or a
// call listed, with its reason, as made without it; an entry point a system
// may lack is never imported (the program would not start there).
TEST(VersionResource, EveryImportIsARowOrAListedDirectCall)
{
    std::set<std::string> rows, optional, direct;
    for (const sys::SysCallRow *row = sys::SysCallTable(); row->name != nullptr; ++row)
        (row->library == nullptr ? rows : optional).insert(row->function);
#define VORNIK_DIRECT(function, why) direct.insert(#function);
    VORNIK_DIRECT_CALLS(VORNIK_DIRECT)
#undef VORNIK_DIRECT
    std::vector<std::string> imports = ImportedFunctions();
    ASSERT_GT(imports.size(), 100u) << ToolPath();
    for (const std::string &name : imports) {
        EXPECT_TRUE(rows.count(name) != 0 || direct.count(name) != 0) << name << " is neither a row nor listed";
        EXPECT_EQ(optional.count(name), 0u) << name << " is looked up at run time, yet imported";
    }
}

}  // namespace

// Event Viewer's reading of the run's event: the message table of the small
// DLL the program carries whole, loaded as data, formats each outcome's ID
// with the run's strings.
TEST(VersionResource, TheMessageTableHoldsATextForEveryEventOfARun)
{
    std::string dll = ReadWholeFile(MessagesPath());
    EXPECT_GT(dll.size(), 0u);
    EXPECT_LT(dll.size(), 16384u);
    EXPECT_NE(ReadWholeFile(ToolPath()).find(dll), std::string::npos) << "the program does not carry it whole";
    HMODULE image = LoadLibraryExA(MessagesPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << MessagesPath() << ": error " << GetLastError();
    const char *strings[] = {"1", "2", "3", "4", "C:\\WINDOWS\\T-Vornik.json"};
    const char *firstWords[] = {"T-Vornik found no infection", "T-Vornik found infections on this computer and removed",
                                "T-Vornik found infections on this computer. Restarting", "T-Vornik could not finish"};
    for (DWORD id = 1000; id <= 1003; ++id) {
        char text[1024] = "";
        ASSERT_NE(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, image, id, 0, text,
                                 sizeof text, reinterpret_cast<va_list *>(const_cast<char **>(strings))),
                  0u)
            << id << ": error " << GetLastError();
        EXPECT_EQ(std::string(text).find(firstWords[id - 1000]), 0u) << text;
        EXPECT_NE(std::string(text).find("Infections found: 1\r\nWaiting for the restart: 2\r\nFailed: 3\r\n"
                                         "Not examined: 4\r\nReport: C:\\WINDOWS\\T-Vornik.json"),
                  std::string::npos)
            << text;
    }
    FreeLibrary(image);
}
