#include "platform/steam_libraries.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

struct VdfCase {
  const char* name;
  std::string vdf;
  std::vector<std::string> expected;
};

class SteamLibraries : public ::testing::TestWithParam<VdfCase> {};

TEST_P(SteamLibraries, NameTheLibraryFolders) {
  EXPECT_EQ(SteamLibraryPaths(GetParam().vdf), GetParam().expected);
}

const std::string kSteamWritten =
    "\"libraryfolders\"\n"
    "{\n"
    "\t\"0\"\n"
    "\t{\n"
    "\t\t\"path\"\t\t\"/home/li/.local/share/Steam\"\n"
    "\t\t\"label\"\t\t\"\"\n"
    "\t\t\"totalsize\"\t\t\"0\"\n"
    "\t\t\"apps\"\n"
    "\t\t{\n"
    "\t\t\t\"228980\"\t\t\"1190562\"\n"
    "\t\t}\n"
    "\t}\n"
    "\t\"1\"\n"
    "\t{\n"
    "\t\t\"path\"\t\t\"/mnt/\xE6\xB8\xB8\xE6\x88\x8F/SteamLibrary\"\n"
    "\t\t\"label\"\t\t\"path\"\n"
    "\t}\n"
    "}\n";

INSTANTIATE_TEST_SUITE_P(
    Files, SteamLibraries,
    ::testing::Values(
        VdfCase{"AsSteamWritesIt",
                kSteamWritten,
                {"/home/li/.local/share/Steam", "/mnt/\xE6\xB8\xB8\xE6\x88\x8F/SteamLibrary"}},
        VdfCase{"Escapes", R"("0" { "path" "/mnt/a \"b\" c\\d\e" })", {"/mnt/a \"b\" c\\d\\e"}},
        VdfCase{"TrailingSlashesDropped", R"("path" "/mnt/lib//" "path" "/")", {"/mnt/lib", ""}},
        VdfCase{"OnlyAbsolutePathsCount",
                R"("path" "lib" "path" "" "path" "C:\\Games" "path" "/ok")",
                {"/ok"}},
        VdfCase{"NulInAPath", "\"path\" \"/a\0b\" \"path\" \"/c\""s, {"/c"}},
        VdfCase{"KeysAndValuesPairUp",
                R"("x" "path" "/a-key" "y" "path" { "path" "/in-block" })",
                {"/in-block"}},
        VdfCase{"CommentsAndBareWords",
                "// \"path\" \"/commented\"\nlibraryfolders { path \"/a\" 0 { \"path\" /b } }",
                {"/a", "/b"}},
        VdfCase{"BrokenAfterTheFirst",
                R"("0" { "path" "/first" } "1" { "path" "/unterminated)",
                {"/first"}},
        VdfCase{"UnbalancedBraces", R"(}}} "path" "/a" {{{ "path" "/b")", {"/a", "/b"}},
        VdfCase{"Empty", "", {}}),
    CaseName());

// A file of the largest size read, packed with libraries: only the first
// ones are looked in.
TEST(SteamLibraryBound, KeepsTheFirstLibrariesOfAHugeList) {
  std::string vdf;
  for (int k = 0; k < 65000; ++k) {
    vdf += "\"path\"\"/" + std::to_string(k) + "\"";
  }
  const std::vector<std::string> paths = SteamLibraryPaths(vdf);
  ASSERT_EQ(paths.size(), kMaxSteamLibraries);
  EXPECT_EQ(paths.front(), "/0");
  EXPECT_EQ(paths.back(), "/" + std::to_string(kMaxSteamLibraries - 1));
}

}  // namespace
