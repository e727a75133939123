// Where the Linux program finds the game's cache: the XDG documents folder
// first, then the Documents folders inside Wine and Proton prefixes. Each
// test builds a temporary HOME as a player's machine has it and runs the
// built program.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

class PrefixTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    home_ = root_ + "/home";
    xdg_cache_ = cache_;
  }

  // Makes the cache folder in `documents` with one pair whose character ID
  // is `id`, and returns the cache folder.
  std::string AddCache(const std::string& documents, int id) {
    const std::string cache = documents + "/Quellmoor/cache/";
    const std::string name = "P" + std::to_string(id) + "@S";
    WriteBytes(cache + name + ".tmp", CharacterFile(static_cast<std::uint64_t>(id)));
    WriteBytes(cache + name + "_sc.tmp", SettingsFile("<ui>" + std::to_string(id) + "</ui>"));
    return cache;
  }

  std::string ProtonDocuments(const std::string& library, const std::string& app_id) const {
    return library + "/steamapps/compatdata/" + app_id + "/pfx/drive_c/users/steamuser/Documents";
  }

  // A scan that converts exactly the one pair in `cache`.
  std::string ScanOutput(const std::string& cache, int id) const {
    return Header() + Success(cache + "P" + std::to_string(id) + "@S_sc.tmp", std::to_string(id)) +
           Closing(1) + Pause();
  }

  std::string home_;
  std::string xdg_cache_;
};

TEST_F(PrefixTest, ProtonCacheServesWhenTheXdgOneIsMissing) {
  SKIP_UNDER_WINE();
  fs::remove_all(documents_);
  // A game whose prefix has no Quellmoor folder sorts first and is passed over.
  fs::create_directories(ProtonDocuments(home_ + "/.local/share/Steam", "1000"));
  const std::string cache = AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "2000"), 7);

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, ScanOutput(cache, 7));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.7.xml"), Utf16Of("<ui>7</ui>"));
}

TEST_F(PrefixTest, XdgCacheWinsOverEveryPrefix) {
  SKIP_UNDER_WINE();
  AddCache(documents_, 1);
  AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "2000"), 2);
  AddCache(home_ + "/.wine/drive_c/users/li/Documents", 3);
  environment_.push_back("WINEPREFIX=" + root_ + "/prefix");
  AddCache(root_ + "/prefix/drive_c/users/li/Documents", 4);

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, ScanOutput(xdg_cache_, 1));
}

// Every place holds the game's cache; each run takes the first, and the next
// run finds the one after it once that cache is gone.
TEST_F(PrefixTest, PlacesAreTakenInTheirOrder) {
  SKIP_UNDER_WINE();
  fs::remove_all(documents_);
  environment_.push_back("WINEPREFIX=" + root_ + "/prefix/");
  const std::string library = root_ + "/mnt/Steam Library \"2\"";
  WriteBytes(home_ + "/.local/share/Steam/steamapps/libraryfolders.vdf",
             "\"libraryfolders\"\n{\n"
             "\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" +
                 home_ + "/.local/share/Steam\"\n\t\t\"apps\"\n\t\t{\n\t\t}\n\t}\n" +
                 "\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" + root_ +
                 "/mnt/Steam Library \\\"2\\\"\"\n\t\t\"label\"\t\t\"\"\n\t}\n}\n");
  // In the order the program looks, each with a character ID of its own.
  const std::vector<std::string> caches = {
      AddCache(root_ + "/prefix/drive_c/users/li/Documents", 1),
      AddCache(home_ + "/.wine/drive_c/users/li/Documents", 2),
      AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "2000"), 3),
      AddCache(ProtonDocuments(library, "1000"), 4),
      AddCache(ProtonDocuments(home_ + "/.steam/steam", "3000"), 5),
      AddCache(ProtonDocuments(home_ + "/.steam/root", "3000"), 6),
      AddCache(
          ProtonDocuments(home_ + "/.var/app/com.valvesoftware.Steam/.local/share/Steam", "10"), 7),
      AddCache(home_ + "/.local/share/bottles/bottles/Quellmoor/drive_c/users/li/Documents", 8),
      AddCache(home_ +
                   "/.var/app/com.usebottles.bottles/data/bottles/bottles/Games/drive_c/users/li/"
                   "Documents",
               9),
      AddCache(home_ + "/Games/quellmoor/drive_c/users/li/Documents", 10),
  };
  for (std::size_t i = 0; i < caches.size(); ++i) {
    SCOPED_TRACE(caches[i]);
    const ProgramRun run = Run({});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, ScanOutput(caches[i], static_cast<int>(i + 1)));
    fs::remove_all(caches[i]);
  }
}

TEST_F(PrefixTest, UsersAndGamesAreTakenInByteOrder) {
  SKIP_UNDER_WINE();
  fs::remove_all(documents_);
  AddCache(home_ + "/.wine/drive_c/users/steamuser/Documents", 2);
  const std::string first = AddCache(home_ + "/.wine/drive_c/users/Zoe/Documents", 1);
  AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "2000"), 3);

  const ProgramRun run = Run({});
  EXPECT_EQ(run.output, ScanOutput(first, 1));
  fs::remove_all(home_ + "/.wine");
  // "10" before "9", as the bytes sort.
  const std::string proton = AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "10"), 4);
  AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "9"), 5);
  EXPECT_EQ(Run({}).output, ScanOutput(proton, 4));
}

TEST_F(PrefixTest, DroppedFilePairsWithTheFoundCache) {
  SKIP_UNDER_WINE();
  fs::remove_all(documents_);
  const std::string cache = AddCache(ProtonDocuments(home_ + "/.local/share/Steam", "2000"), 7);
  const std::string dropped = root_ + "/caller/P7@S_sc.tmp";
  WriteBytes(dropped, SettingsFile("<ui><a/></ui>"));
  WriteBytes(root_ + "/caller/Ghost@S_sc.tmp", SettingsFile("<ui/>"));

  const ProgramRun run = Run({dropped, root_ + "/caller/Ghost@S_sc.tmp"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + Success(dropped, "7") + "[WARNING] Cannot open \"" + cache +
                            "Ghost@S.tmp\", unable to extract character ID.\n" + Closing(1) +
                            Pause());
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.7.xml"), Utf16Of("<ui><a/></ui>"));
}

TEST_F(PrefixTest, PrefixesWithoutTheCacheArePassedOver) {
  SKIP_UNDER_WINE();
  fs::remove_all(documents_);
  environment_.push_back("WINEPREFIX=" + root_ + "/prefix");
  fs::create_directories(root_ + "/prefix/drive_c/users/li/Documents");
  fs::create_directories(home_ + "/.wine/drive_c/users/li/Documents/Quellmoor");
  // A cache that is a file is no cache folder.
  WriteBytes(ProtonDocuments(home_ + "/.local/share/Steam", "2000") + "/Quellmoor/cache", "x");
  fs::create_directories(ProtonDocuments(home_ + "/.steam/root", "3000"));
  // Libraries that name nothing usable, and a broken file.
  WriteBytes(home_ + "/.local/share/Steam/steamapps/libraryfolders.vdf",
             "\"libraryfolders\" { \"0\" { \"path\" \"relative/lib\" } \"1\" { \"path\" \"" +
                 root_ + "/gone");
  fs::create_directories(home_ + "/.steam/steam/steamapps/libraryfolders.vdf");

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 254);
  EXPECT_EQ(run.output, Header() + "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"" +
                            xdg_cache_ + "\".\n" + Pause());

  // A relative WINEPREFIX is not looked in, even with a cache there: from
  // the folder the program was started in, or from the program folder,
  // where it works.
  AddCache(root_ + "/caller/rel/drive_c/users/li/Documents", 1);
  AddCache(program_folder_ + "/rel/drive_c/users/li/Documents", 2);
  environment_.back() = "WINEPREFIX=rel";
  const ProgramRun relative = Run({});
  EXPECT_EQ(relative.exit_code, 254);
  EXPECT_EQ(relative.output, run.output);
}

// user-dirs.dirs is the player's own file, but whatever it is, it must not
// stop the run: one that cannot be used counts as absent.
struct UserDirsCase {
  const char* name;
  void (*make)(const std::string& path, const std::string& home);
};

class UserDirsFileTest : public EndToEndTest, public ::testing::WithParamInterface<UserDirsCase> {};

TEST_P(UserDirsFileTest, UnusableFileFallsBackToHomeDocuments) {
  SKIP_UNDER_WINE();
  const std::string home = root_ + "/home";
  fs::create_directories(home + "/.config");
  GetParam().make(home + "/.config/user-dirs.dirs", home);
  AddPair("A@S", CharacterFile(5), SettingsFile("<ui/>"));

  // A hang must fail the test, not stall it.
  std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "20",
                                   program_folder_ + "/" + ProgramName()};
  const ProgramRun run = RunProgram(argv, environment_, root_ + "/caller");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + Success(cache_ + "A@S_sc.tmp", "5") + Closing(1) + Pause());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UserDirsFileTest,
    ::testing::Values(
        UserDirsCase{"Folder", [](const std::string& path,
                                  const std::string&) { fs::create_directories(path); }},
        UserDirsCase{"Fifo", [](const std::string& path,
                                const std::string&) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        UserDirsCase{"LinkToDevZero",
                     [](const std::string& path, const std::string&) {
                       fs::create_symlink("/dev/zero", path);
                     }},
        UserDirsCase{"LargerThan64KiB",
                     [](const std::string& path, const std::string& home) {
                       fs::create_directories(home + "/Elsewhere/Quellmoor/cache");
                       WriteBytes(path, "XDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n" +
                                            std::string(64 * 1024, '#'));
                     }},
        UserDirsCase{"NulInTheValue",
                     [](const std::string& path, const std::string& home) {
                       fs::create_directories(home + "/Elsewhere/Quellmoor/cache");
                       WriteBytes(path, "XDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\0/x\"\n"s);
                     }}),
    CaseName());

TEST_F(EndToEndTest, UserDirsFileUpTo64KiBNamesTheDocumentsFolder) {
  SKIP_UNDER_WINE();
  const std::string home = root_ + "/home";
  const std::string line = "XDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n";
  WriteBytes(home + "/.config/user-dirs.dirs",
             std::string(64 * 1024 - line.size(), '#') + "\n" + line.substr(0, line.size() - 1));
  const std::string cache = home + "/Elsewhere/Quellmoor/cache/";
  WriteBytes(cache + "B@S.tmp", CharacterFile(6));
  WriteBytes(cache + "B@S_sc.tmp", SettingsFile("<ui/>"));

  const ProgramRun run = Run({});
  EXPECT_EQ(run.output, Header() + Success(cache + "B@S_sc.tmp", "6") + Closing(1) + Pause());
}

}  // namespace
