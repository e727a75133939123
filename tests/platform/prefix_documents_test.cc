#include "platform/prefix_documents.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class PrefixDocumentsTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    root_ = fs::current_path().string();
    home_ = root_ + "/home";
  }

  // Makes a folder of the tree and returns its path.
  std::string Make(const std::string& path) {
    fs::create_directories(path);
    return path;
  }

  std::string Proton(const std::string& library, const std::string& app_id) {
    return Make(library + "/steamapps/compatdata/" + app_id +
                "/pfx/drive_c/users/steamuser/Documents");
  }

  std::string root_;
  std::string home_;
};

TEST_F(PrefixDocumentsTest, ListsEveryPlaceInOrder) {
  const std::string flatpak = home_ + "/.var/app/com.valvesoftware.Steam/.local/share/Steam";
  const std::string library = root_ + "/lib";
  WriteBytes(home_ + "/.steam/steam/steamapps/libraryfolders.vdf",
             "\"libraryfolders\" { \"0\" { \"path\" \"" + home_ +
                 "/.steam/steam/\" } \"1\" { \"path\" \"" + library + "\" } }");
  // Listed the wrong way round, so that only the program's own order shows.
  const std::vector<std::string> expected = {
      Make(root_ + "/wine/drive_c/users/Public/Documents"),
      Make(root_ + "/wine/drive_c/users/li/Documents"),
      Make(home_ + "/.wine/drive_c/users/li/Documents"),
      Proton(home_ + "/.local/share/Steam", "10"),
      Proton(home_ + "/.local/share/Steam", "9"),
      Proton(home_ + "/.steam/steam", "2000"),
      Proton(library, "1000"),
      Proton(flatpak, "3000"),
      Make(home_ + "/.local/share/bottles/bottles/Quellmoor/drive_c/users/li/Documents"),
      Make(home_ + "/.var/app/com.usebottles.bottles/data/bottles/bottles/B/drive_c/users/li/"
                   "Documents"),
      Make(home_ + "/Games/quellmoor/drive_c/users/li/Documents"),
      Make(home_ + "/Games/quellmoor/drive_c/users/steamuser/Documents"),
  };
  EXPECT_EQ(PrefixDocumentsFolders(home_ + "/", root_ + "/wine/"), expected);
}

TEST_F(PrefixDocumentsTest, RelativeWinePrefixIsNotLookedIn) {
  Make("wine/drive_c/users/li/Documents");
  const std::string own = Make(home_ + "/.wine/drive_c/users/li/Documents");
  EXPECT_EQ(PrefixDocumentsFolders(home_, "wine"), std::vector<std::string>{own});
  EXPECT_EQ(PrefixDocumentsFolders(home_, ""), std::vector<std::string>{own});
}

TEST_F(PrefixDocumentsTest, NothingWhereNoPrefixExists) {
  Make(home_ + "/.local/share/Steam/steamapps");
  WriteBytes(home_ + "/.steam/root/steamapps/libraryfolders.vdf", "\"path\" \"/nonexistent\"");
  EXPECT_EQ(PrefixDocumentsFolders(home_, root_ + "/none"), std::vector<std::string>{});
}

}  // namespace
