#include "platform/user_dirs.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

struct UserDirsCase {
  const char* name;
  const char* contents;
  const char* expected;  // nullptr: no documents folder named
};

class UserDirs : public ::testing::TestWithParam<UserDirsCase> {};

TEST_P(UserDirs, NameTheDocumentsFolder) {
  const std::optional<std::string> folder =
      DocumentsFolderFromUserDirs(GetParam().contents, "/home/li");
  if (GetParam().expected == nullptr) {
    EXPECT_FALSE(folder.has_value()) << *folder;
  } else {
    EXPECT_EQ(folder.value_or("(none)"), GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, UserDirs,
    ::testing::Values(
        UserDirsCase{"UnderHome", "XDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n", "/home/li/Documents"},
        UserDirsCase{"ChineseDesktop",
                     "# written by xdg-user-dirs-update\n"
                     "XDG_DESKTOP_DIR=\"$HOME/\xE6\xA1\x8C\xE9\x9D\xA2\"\n"
                     "XDG_DOCUMENTS_DIR=\"$HOME/\xE6\x96\x87\xE6\xA1\xA3\"\n",
                     "/home/li/\xE6\x96\x87\xE6\xA1\xA3"},
        UserDirsCase{"Absolute", "  XDG_DOCUMENTS_DIR = \"/data/docs\"", "/data/docs"},
        UserDirsCase{"Escapes", "XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n",
                     "/home/li/My \"Docs\""},
        UserDirsCase{"LastOneWins",
                     "XDG_DOCUMENTS_DIR=\"$HOME/A\"\nXDG_DOCUMENTS_DIR=\"$HOME/B\"\n",
                     "/home/li/B"},
        UserDirsCase{"CommentedOut", "#XDG_DOCUMENTS_DIR=\"$HOME/A\"\n", nullptr},
        UserDirsCase{"Relative", "XDG_DOCUMENTS_DIR=\"docs\"\n", nullptr},
        UserDirsCase{"Unquoted", "XDG_DOCUMENTS_DIR=$HOME/A\n", nullptr},
        UserDirsCase{"Unterminated", "XDG_DOCUMENTS_DIR=\"$HOME/A\n", nullptr},
        UserDirsCase{"OtherKeyOnly", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", nullptr},
        UserDirsCase{"Empty", "", nullptr}),
    CaseName());

}  // namespace
