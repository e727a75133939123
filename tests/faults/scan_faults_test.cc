// Cache files that change between the scan's listing of the cache folder and
// the conversion of each pair: the real platform lists the folder, and the
// test changes the files right after, as the game client might.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "driver/driver.h"
#include "fixtures.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The system's own platform, with the program, its Documents folder and the
// console moved into the test's folder.
class ChangingCachePlatform : public Platform {
 public:
  void SetUpConsole() override {}
  void WriteConsole(const NativeString& text) override { console_ += text; }
  bool GetExecutablePath(NativeString& path, NativeString&) override {
    path = executable_;
    return true;
  }
  bool SetWorkingDirectory(const NativeString& folder) override {
    return SystemPlatform().SetWorkingDirectory(folder);
  }
  bool GetDocumentsFolder(NativeString& folder, NativeString&) override {
    folder = documents_;
    return true;
  }
  bool GetFullPath(const NativeString& path, NativeString& full) override {
    return SystemPlatform().GetFullPath(path, full);
  }
  bool PathExists(const NativeString& path) override { return SystemPlatform().PathExists(path); }
  // The files change once the folder is listed, before the first entry is
  // converted.
  bool ForEachSettingsFile(const NativeString& folder,
                           const std::function<void(const CacheEntry&)>& visit) override {
    bool listed = false;
    return SystemPlatform().ForEachSettingsFile(folder, [&](const CacheEntry& entry) {
      if (!listed) {
        listed = true;
        after_listing_();
      }
      visit(entry);
    });
  }
  void Pause() override {}
  void SetUpSignals() override {}

  NativeString executable_;
  NativeString documents_;
  NativeString console_;
  std::function<void()> after_listing_;
};

class ScanFaultsTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    root_ = dir_.path().string();
    cache_ = root_ + "/Docs/Quellmoor/cache/";
    platform_.executable_ = root_ + "/game/tarnwick";
    platform_.documents_ = root_ + "/Docs";
    fs::create_directories(root_ + "/game");
  }

  void AddPair(const std::string& name, std::uint64_t id) {
    WriteBytes(cache_ + name + ".tmp", CharacterFile(id));
    WriteBytes(cache_ + name + "_sc.tmp", SettingsFile("<ui>" + name + "</ui>"));
  }

  std::string Header() { return kBanner + "Current Dir: " + root_ + "/game\n\n"; }

  std::string root_;
  std::string cache_;
  ChangingCachePlatform platform_;
};

TEST_F(ScanFaultsTest, FilesThatVanishOrBecomeFoldersAreReportedAndTheScanGoesOn) {
  AddPair("A@S", 1);
  AddPair("B@S", 2);
  AddPair("C@S", 3);
  AddPair("D@S", 4);
  AddPair("E@S", 5);
  platform_.after_listing_ = [this] {
    fs::remove(cache_ + "B@S_sc.tmp");
    fs::remove(cache_ + "C@S.tmp");
    fs::remove(cache_ + "D@S_sc.tmp");
    fs::create_directory(cache_ + "D@S_sc.tmp");
  };

  EXPECT_EQ(RunTarnwick({}, platform_), 0);
  EXPECT_EQ(platform_.console_, Header() + "[SUCCESS] \"" + cache_ +
                                    "A@S_sc.tmp\" >> \".\\ui.1.xml\".\n"
                                    "[ERROR] Cannot open \"" +
                                    cache_ +
                                    "B@S_sc.tmp\", unable to extract <ui>.\n"
                                    "[WARNING] Cannot open \"" +
                                    cache_ +
                                    "C@S.tmp\", unable to extract character ID.\n"
                                    "[ERROR] Cannot open \"" +
                                    cache_ +
                                    "D@S_sc.tmp\", unable to extract <ui>.\n"
                                    "[SUCCESS] \"" +
                                    cache_ +
                                    "E@S_sc.tmp\" >> \".\\ui.5.xml\".\n"
                                    "\nDone! File(s) Processed: 2\n");
  EXPECT_EQ(ListFolder(root_ + "/game"), "ui.1.xml ui.5.xml");
  EXPECT_EQ(ReadBytes(root_ + "/game/ui.5.xml"), Utf16Of("<ui>E@S</ui>"));
}

TEST_F(ScanFaultsTest, ACacheFolderThatVanishesAfterTheListingLosesNothingElse) {
  AddPair("A@S", 1);
  AddPair("B@S", 2);
  WriteBytes(root_ + "/game/ui.1.xml", "an earlier layout");
  platform_.after_listing_ = [this] { fs::remove_all(root_ + "/Docs"); };

  EXPECT_EQ(RunTarnwick({}, platform_), 0);
  EXPECT_EQ(platform_.console_, Header() + "[WARNING] Cannot open \"" + cache_ +
                                    "A@S.tmp\", unable to extract character ID.\n"
                                    "[WARNING] Cannot open \"" +
                                    cache_ +
                                    "B@S.tmp\", unable to extract character ID.\n"
                                    "\nDone! File(s) Processed: 0\n");
  EXPECT_EQ(ReadBytes(root_ + "/game/ui.1.xml"), "an earlier layout");
}

}  // namespace
