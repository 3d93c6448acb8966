// Registry path strings cut into root, key path and value name.
#include "guard/registry_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SplitCase {
    const char *text;
    int status;
    const char *root;     // null: none
    const char *keyPath;  // null: directly under the root
    const char *valueName;
};

TEST(RegistryPathTest, RootsKeyPathsAndValueNames)
{
    const SplitCase cases[] = {
        {"HKEY_LOCAL_MACHINE\\Software\\Vardeko\\Tavrel\\Portiva\\\\DeviceName", 0, "HKEY_LOCAL_MACHINE",
         "Software\\Vardeko\\Tavrel\\Portiva", "DeviceName"},
        {"HKEY_CURRENT_USER\\\\Value", 0, "HKEY_CURRENT_USER", nullptr, "Value"},
        {"hkey_users\\.DEFAULT\\\\x", 0, "HKEY_USERS", ".DEFAULT", "x"},
        {"HKEY_CLASSES_ROOT\\\\", 0, "HKEY_CLASSES_ROOT", nullptr, ""},  // the default value
        {"HKEY_Local_Machine\\A\\\\Name   ", 0, "HKEY_LOCAL_MACHINE", "A", "Name"},
        {"HKEY_LOCAL_MACHINE\\A\\\\Name  |comment", 0, "HKEY_LOCAL_MACHINE", "A", "Name  "},
        {"HKEY_LOCAL_MACHINE\\A\\\\|Name", 0, "HKEY_LOCAL_MACHINE", "A", ""},
        {"HKEY_LOCAL_MACHINE\\A\\\\\\B", 0, "HKEY_LOCAL_MACHINE", "A", "\\B"},  // the first pair ends the key
        {"HKEY_LOCAL_MACHINE\\A\\B\\\\x\\\\y", 0, "HKEY_LOCAL_MACHINE", "A\\B", "x\\\\y"},
        {"HKEY_LOCAL_MACHINE\\A\\B\\C", 4, nullptr, nullptr, nullptr},  // no pair of backslashes
        {"HKEY_LOCAL_MACHINE", 4, nullptr, nullptr, nullptr},           // no backslash at all
        {"", 4, nullptr, nullptr, nullptr},
        {"HKLM\\Software\\\\x", 4, nullptr, nullptr, nullptr},          // no short forms
        {"HKEY_CURRENT_CONFIG\\\\x", 4, nullptr, nullptr, nullptr},     // nor other roots
        {"HKEY_LOCAL_MACHINE \\\\x", 4, nullptr, nullptr, nullptr},     // blanks count in the root
        {"\\\\x", 4, nullptr, nullptr, nullptr},
    };
    for (const SplitCase &c : cases) {
        std::string text = c.text;
        RegistryPathParts parts;
        EXPECT_EQ(SplitRegistryPath(&text[0], &parts), c.status) << c.text;
        if (c.status != 0) {
            EXPECT_EQ(parts.root, nullptr) << c.text;
            EXPECT_EQ(parts.valueName, nullptr) << c.text;
            continue;
        }
        ASSERT_NE(parts.root, nullptr) << c.text;
        EXPECT_STREQ(parts.root->name, c.root) << c.text;
        if (c.keyPath == nullptr)
            EXPECT_EQ(parts.keyPath, nullptr) << c.text;
        else
            EXPECT_STREQ(parts.keyPath, c.keyPath) << c.text;
        EXPECT_STREQ(parts.valueName, c.valueName) << c.text;
    }
}

}  // namespace
