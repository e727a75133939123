// Runs the built program as a player would: a program folder of its own, a
// cache folder under a temporary HOME (or in the Wine prefix's Documents
// folder), and the exact console bytes, exit statuses and output files
// checked.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFirstRead = 204800;

TEST_F(EndToEndTest, ScanConvertsEveryPairInTheCacheFolder) {
  AddPair("Alice@Server1", CharacterFile(0x0010000000000001),
          SettingsFile("<ui><w x=\"1\"/></ui>"));
  AddPair("Bob@Server1", CharacterFile(77, 19, 45), SettingsFile("<ui>\xE5\xB8\x83</ui>"));
  AddPair("\xE5\xBC\xA0\xE4\xB8\x89@\xE6\x9C\x8D", CharacterFile(5), SettingsFile("<ui>cjk</ui>"));
  AddPair("Bad@Server1", CharacterFile(6), SettingsFile("<ui>\xC0\xAF</ui>"));
  AddPair("Far@Server1", CharacterFile(0x0011000000000000), SettingsFile("<ui/>"));
  AddPair("Short@Server1", std::string(36, '\x13'), SettingsFile("<ui/>"));
  AddPair("None@Server1", CharacterFile(8), "no block here");
  WriteBytes(cache_ + "Lone@Server1_sc.tmp", SettingsFile("<ui/>"));
  // Found by the enumeration, which ignores letter case, but not paired.
  WriteBytes(cache_ + "Upper@Server1_SC.TMP", SettingsFile("<ui/>"));
  WriteBytes(cache_ + "unrelated.txt", "x");
  fs::create_directories(cache_ + "folder_sc.tmp");
  WriteBytes(program_folder_ + "/ui.6.xml", "an earlier layout");
  fs::create_directories(program_folder_ + "/ui.8.xml");
  AddPair("Blocked@Server1", CharacterFile(8), SettingsFile("<ui/>"));

  const std::string& cache = cache_shown_;
  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Console(Header() + "[SUCCESS] \"" + cache +
                    "Alice@Server1_sc.tmp\" >> \".\\ui.4503599627370497.xml\".\n"
                    "[ERROR] \"<ui>\" block in \"" +
                    cache +
                    "Bad@Server1_sc.tmp\" is not valid UTF-8.\n"
                    "[ERROR] Failed to create ui.####.xml for \"" +
                    cache +
                    "Blocked@Server1_sc.tmp\".\n"
                    "[SUCCESS] \"" +
                    cache +
                    "Bob@Server1_sc.tmp\" >> \".\\ui.77.xml\".\n"
                    "[WARNING] charID out of range in \"" +
                    cache +
                    "Far@Server1_sc.tmp\".\n"
                    "[WARNING] Cannot open \"" +
                    cache +
                    "Lone@Server1.tmp\", unable to extract character ID.\n"
                    "[ERROR] \"<ui>\" not found in \"" +
                    cache +
                    "None@Server1_sc.tmp\".\n"
                    "[WARNING] \"" +
                    cache +
                    "Short@Server1.tmp\" size too small, unable to extract character ID.\n"
                    "[ERROR] \"" +
                    cache +
                    "Upper@Server1_SC.TMP\" file name incorrect.\n"
                    "[SUCCESS] \"" +
                    cache +
                    "\xE5\xBC\xA0\xE4\xB8\x89@\xE6\x9C\x8D_sc.tmp\" >> \".\\ui.5.xml\".\n"
                    "\nDone! File(s) Processed: 3\n" +
                    Pause()));
  EXPECT_EQ(ListFolder(program_folder_),
            ProgramName() + " ui.4503599627370497.xml ui.5.xml ui.6.xml ui.77.xml ui.8.xml");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.4503599627370497.xml"),
            Utf16Of("<ui><w x=\"1\"/></ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.77.xml"),
            "\xFF\xFE<\0u\0i\0>\0\x03\x5E<\0/\0u\0i\0>\0"s);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.5.xml"), Utf16Of("<ui>cjk</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.6.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_ + "/ui.8.xml"), "");
}

TEST_F(EndToEndTest, DroppedFilesAreConvertedWithTheirCacheCharacterFiles) {
  WriteBytes(root_ + "/drop/A@S_sc.tmp", SettingsFile("<ui>a</ui>"));
  WriteBytes(cache_ + "A@S.tmp", CharacterFile(1));
  WriteBytes(root_ + "/drop/B@S_sc.tmp", SettingsFile("<ui>b</ui>"));
  WriteBytes(cache_ + "B@S.tmp", CharacterFile(2));
  WriteBytes(root_ + "/caller/C@S_sc.tmp", SettingsFile("<ui>c</ui>"));
  WriteBytes(cache_ + "C@S.tmp", CharacterFile(3));
  WriteBytes(program_folder_ + "/C@S_sc.tmp", SettingsFile("<ui>not this one</ui>"));
  // Relative arguments name files from the caller's folder, though the
  // program folder becomes the working folder; the lines show them as given.
  const std::string dropped = Shown(root_ + "/drop/B@S_sc.tmp");
  const std::string relative = Shown("../drop/A@S_sc.tmp");
  const ProgramRun run = Run({"C@S_sc.tmp", dropped, relative, "notes.txt", ""});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(Header() +
                                "[SUCCESS] \"C@S_sc.tmp\" >> \".\\ui.3.xml\".\n"
                                "[SUCCESS] \"" +
                                dropped +
                                "\" >> \".\\ui.2.xml\".\n"
                                "[SUCCESS] \"" +
                                relative +
                                "\" >> \".\\ui.1.xml\".\n"
                                "[ERROR] \"notes.txt\" file name incorrect.\n"
                                "[ERROR] \"\" file name incorrect.\n"
                                "\nDone! File(s) Processed: 3\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.3.xml"), Utf16Of("<ui>c</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.2.xml"), Utf16Of("<ui>b</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
  EXPECT_EQ(ListFolder(program_folder_),
            "C@S_sc.tmp " + ProgramName() + " ui.1.xml ui.2.xml ui.3.xml");
}

struct CachePair {
  std::string name;
  std::uint64_t id;
  bool young;  ///< Written just before the run; else an hour old.
  std::size_t filler = 0;
};

// Young pairs, which the program reads again after an interval, between old
// ones, which one read does, in the order of a scan: the names sort alike
// by bytes, as the Linux program sorts them, and ignoring case, as Wine
// lists a folder. One layout runs far past the first read, as large ones do.
const CachePair kAlternatingPairs[] = {{"Ash@S", 11, true},           {"Birch@S", 12, false},
                                       {"Cedar@S", 13, true, 300000}, {"Elm@S", 14, false},
                                       {"Oak@S", 15, true},           {"Yew@S", 16, false}};

std::string LayoutOf(const CachePair& pair) {
  return "<ui><pair name=\"" + pair.name + "\"/>" + std::string(pair.filler, 'f') + "</ui>";
}

class YoungAndOldPairs : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    for (const CachePair& pair : kAlternatingPairs) {
      if (!pair.young) {
        AddPair(pair.name, CharacterFile(pair.id), SettingsFile(LayoutOf(pair)));
        MakeHourOld(cache_ + pair.name + ".tmp");
        MakeHourOld(cache_ + pair.name + "_sc.tmp");
      }
    }
    // The change time cannot be dated back: the old pairs age past the
    // program's two seconds by waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (const CachePair& pair : kAlternatingPairs) {
      if (pair.young) {
        AddPair(pair.name, CharacterFile(pair.id), SettingsFile(LayoutOf(pair)));
      }
    }
  }

  // A settings file as the status lines name it: by its path in the cache
  // folder in a scan, as the argument that named it when it was dropped.
  std::string SettingsName(const CachePair& pair, bool dropped) const {
    return dropped ? Shown(cache_ + pair.name + "_sc.tmp") : cache_shown_ + pair.name + "_sc.tmp";
  }

  // The whole console of a run that converts `pairs` in this order.
  std::string Converted(const std::vector<CachePair>& pairs, bool dropped) const {
    std::string lines;
    for (const CachePair& pair : pairs) {
      lines += Success(SettingsName(pair, dropped), std::to_string(pair.id));
    }
    return Console(Header() + lines + Closing(static_cast<int>(pairs.size()))) + Pause();
  }

  void ExpectEveryLayout() const {
    std::string listing = ProgramName();
    for (const CachePair& pair : kAlternatingPairs) {
      const std::string output = "ui." + std::to_string(pair.id) + ".xml";
      EXPECT_TRUE(ReadBytes(program_folder_ + "/" + output) == Utf16Of(LayoutOf(pair)))
          << output << " is not the layout of " << pair.name;
      listing += " " + output;
    }
    EXPECT_EQ(ListFolder(program_folder_), listing);
  }
};

TEST_F(YoungAndOldPairs, AScanPrintsItsLinesInTheOrderOfTheFiles) {
  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Converted({std::begin(kAlternatingPairs), std::end(kAlternatingPairs)}, false));
  ExpectEveryLayout();
}

TEST_F(YoungAndOldPairs, DroppedFilesPrintTheirLinesInTheOrderOfTheArguments) {
  // Young and old still alternate, in no order of their names.
  const std::vector<CachePair> dropped = {kAlternatingPairs[4], kAlternatingPairs[3],
                                          kAlternatingPairs[0], kAlternatingPairs[5],
                                          kAlternatingPairs[2], kAlternatingPairs[1]};
  std::vector<std::string> arguments;
  for (const CachePair& pair : dropped) {
    arguments.push_back(SettingsName(pair, true));
  }
  const ProgramRun run = Run(arguments);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Converted(dropped, true));
  ExpectEveryLayout();
}

TEST_F(EndToEndTest, AMissingFirstArgumentIsRejectedWithTheUsage) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui/>"));
  const ProgramRun run = Run({"gone_sc.tmp", Shown(cache_ + "A@S_sc.tmp")});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_EQ(run.output, Console(kBanner +
                                "[ERROR] File path is not valid: \"gone_sc.tmp\"\n"
                                "\nUsage: \n"
                                "1. Place Tarnwick.exe in your Quellmoor directory. \n"
                                "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n" +
                                Pause()));
  EXPECT_EQ(ListFolder(program_folder_), ProgramName());
}

TEST_F(EndToEndTest, ACacheFolderWithoutSettingsFilesEndsTheScan) {
  WriteBytes(cache_ + "A@S.tmp", CharacterFile(1));
  const ProgramRun empty = Run({});
  EXPECT_EQ(empty.exit_code, 254);
  EXPECT_EQ(empty.output,
            Console(Header() + "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"" +
                    cache_shown_ + "\".\n" + Pause()));

  // Wine's Documents folder belongs to the shared prefix: only its
  // Quellmoor folder goes.
  fs::remove_all(g_under_test.under_wine ? documents_ + "/Quellmoor" : documents_);
  const ProgramRun missing = Run({});
  EXPECT_EQ(missing.exit_code, 254);
  EXPECT_EQ(missing.output, empty.output);
}

// A CJK-heavy layout that runs far past the first 204800
// bytes, with a character across that bound, and one larger than 64 MiB.
TEST_F(EndToEndTest, LargeLayoutsAreConvertedWholeAndAnOversizedOneIsRefused) {
  std::string block = "<ui>";
  std::string output = Utf16Of("<ui>");
  const auto add = [&](const std::string& utf8, const std::string& utf16) {
    block += utf8;
    output += utf16;
  };
  // One element: 6 bytes of markup, the two characters, 4 bytes of markup.
  const std::string element = "<w t=\"\xE5\xB8\x83\xE5\xB1\x80\"/>\n";
  const std::string element_utf16 =
      Utf16Of("<w t=\"").substr(2) + "\x03\x5E\x40\x5C" + Utf16Of("\"/>\n").substr(2);
  // 15 bytes come before the block in a settings file: pad so that the
  // first 204800 bytes end after the first byte of a character.
  while ((kFirstRead - 15 - block.size()) % element.size() != 7) add("p", "p\0"s);
  while (block.size() < 600 * 1024) add(element, element_utf16);
  add("</ui>", Utf16Of("</ui>").substr(2));
  const std::string settings = SettingsFile(block);
  ASSERT_EQ(static_cast<unsigned char>(settings[kFirstRead]) & 0xC0, 0x80);
  AddPair("Big@S", CharacterFile(1), settings);
  AddPair("Huge@S", CharacterFile(2), "<ui>" + std::string(64 << 20, 'x'));
  WriteBytes(program_folder_ + "/ui.2.xml", "an earlier layout");

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + cache_shown_ +
                                "Big@S_sc.tmp\" >> \".\\ui.1.xml\".\n"
                                "[ERROR] \"<ui>\" block in \"" +
                                cache_shown_ +
                                "Huge@S_sc.tmp\" is larger than 64 MiB.\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_TRUE(ReadBytes(program_folder_ + "/ui.1.xml") == output) << "ui.1.xml is not the layout";
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.2.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.1.xml ui.2.xml");
}

TEST_F(EndToEndTest, TheDocumentsFolderComesFromTheUserDirsFile) {
  SKIP_UNDER_WINE();
  const std::string documents = root_ + "/home/\xE6\x96\x87\xE6\xA1\xA3";
  WriteBytes(root_ + "/home/.config/user-dirs.dirs",
             "XDG_DOCUMENTS_DIR=\"$HOME/\xE6\x96\x87\xE6\xA1\xA3\"\n");
  WriteBytes(documents + "/Quellmoor/cache/A@S.tmp", CharacterFile(3));
  WriteBytes(documents + "/Quellmoor/cache/A@S_sc.tmp", SettingsFile("<ui/>"));
  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + "[SUCCESS] \"" + documents +
                            "/Quellmoor/cache/A@S_sc.tmp\" >> \".\\ui.3.xml\".\n"
                            "\nDone! File(s) Processed: 1\n" +
                            Pause());
}

TEST_F(EndToEndTest, WithoutHomeTheRunSaysSoAndGoesOn) {
  SKIP_UNDER_WINE();
  environment_ = {"PATH=/usr/bin:/bin"};
  WriteBytes(root_ + "/drop/A@S_sc.tmp", SettingsFile("<ui/>"));
  const ProgramRun run = Run({root_ + "/drop/A@S_sc.tmp"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Header() +
                "[ERROR] Cannot find the Documents folder (HOME is not set), so there is no cache "
                "folder to look in.\n"
                "[WARNING] Cannot open \"A@S.tmp\", unable to extract character ID.\n"
                "\nDone! File(s) Processed: 0\n" +
                Pause());
}

}  // namespace
