#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#ifndef _WIN32
#include <csignal>
#endif

using namespace std::string_literals;

/// A character file in the short layout (ID at offset 29) or, when
/// `layout_byte` is 19, the long one (ID at offset 37), `size` bytes long.
/// The ID is stored most significant byte first; other bytes are filler.
inline std::string CharacterFile(std::uint64_t id, unsigned char layout_byte = 0x02,
                                 std::size_t size = 64) {
  const std::size_t offset = layout_byte == 19 ? 37 : 29;
  std::string bytes(std::max(size, offset + 8), '\x5A');
  bytes[0] = static_cast<char>(layout_byte);
  for (int k = 0; k < 8; ++k) {
    bytes[offset + static_cast<std::size_t>(k)] = static_cast<char>((id >> (56 - 8 * k)) & 0xFF);
  }
  bytes.resize(size);
  return bytes;
}

/// A settings file: binary bytes around a ui block that ends at a NUL.
inline std::string SettingsFile(const std::string& ui_block) {
  return "\x01\x02\x00\xFF"
         "settings<u\x00"s +
         ui_block + "\x00\x7F\x80 trailing <ui>not this</ui>"s;
}

/// The UTF-16LE output file for an ASCII block: a byte-order mark, then
/// each byte followed by a zero byte.
inline std::string Utf16Of(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

/// The banner that opens every run's console output.
inline const std::string kBanner =
    "=================================\n"
    " Tarnwick - UI Layout Extractor\n"
    "=================================\n";

/// The Linux program's pause, as far as a terminal shows it before a key.
inline const std::string kPausePrompt = "Press any key to continue . . . ";

/// The console line for a pair converted into `ui.<id>.xml`.
inline std::string Success(const std::string& settings_path, const std::string& id) {
  return "[SUCCESS] \"" + settings_path + "\" >> \".\\ui." + id + ".xml\".\n";
}

/// The line that closes a run, before the pause.
inline std::string Closing(int count) {
  return "\nDone! File(s) Processed: " + std::to_string(count) + "\n";
}

/// Names a parameterized case after its `name` field.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& param_info) const {
    return param_info.param.name;
  }
};

#ifndef _WIN32
struct SignalCase {
  std::string name;
  int signal;
};

/// The signals that end the program, each of which must leave things as
/// they were.
inline const SignalCase kEndingSignals[] = {
    {"Interrupt", SIGINT}, {"Terminate", SIGTERM}, {"HangUp", SIGHUP}, {"Quit", SIGQUIT}};
#endif
