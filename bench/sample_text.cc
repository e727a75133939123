#include "sample_text.h"

#include <cstdint>
#include <string_view>

namespace {

// A fixed pseudo-random sequence, so every run times the same bytes.
struct Sequence {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  unsigned Next(unsigned bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>((state >> 33) % bound);
  }
};

constexpr std::string_view kWindows[] = {"MainBar",    "ChatFrame", "Minimap", "TargetFrame",
                                         "PartyFrame", "BagSlots",  "QuestLog"};
constexpr std::string_view kLabels[] = {"火球术", "治疗之光", "背包", "任务日志",
                                        "队伍",   "设置",     "商店", "冰霜新星"};
constexpr std::string_view kNotes[] = {
    "集合地点在主城南门，晚上八点准时出发。", "副本进度：第三个首领已击败，明天继续。",
    "请勿随意拾取装备，按需分配。", "公会仓库的钥匙在会长那里。"};
constexpr std::string_view kAsciiNotes[] = {
    "Meet at the south gate at eight.", "Third boss down, continue tomorrow.",
    "Need before greed on all drops.", "The guild bank key is with the leader."};

void AppendSlot(std::string& text, Sequence& sequence, CjkShare cjk) {
  text += "    <slot index=\"" + std::to_string(sequence.Next(48)) +
          "\" action=\"skill:" + std::to_string(1000 + sequence.Next(9000)) + "\" hotkey=\"" +
          std::to_string(sequence.Next(12)) + "\"";
  const bool labelled =
      cjk == CjkShare::kHeavy || (cjk == CjkShare::kSome && sequence.Next(6) == 0);
  if (labelled) {
    text += " label=\"";
    text += kLabels[sequence.Next(std::size(kLabels))];
    text += "\"";
  }
  text += "/>\n";
}

void AppendNote(std::string& text, Sequence& sequence, CjkShare cjk) {
  text += "    <note author=\"" + std::to_string(sequence.Next(100000)) + "\">";
  const unsigned sentences = cjk == CjkShare::kHeavy ? 8 + sequence.Next(12) : 3 + sequence.Next(6);
  for (unsigned k = 0; k < sentences; ++k) {
    text += cjk == CjkShare::kHeavy ? kNotes[sequence.Next(std::size(kNotes))]
                                    : kAsciiNotes[sequence.Next(std::size(kAsciiNotes))];
  }
  text += "</note>\n";
}

void AppendWindow(std::string& text, Sequence& sequence, CjkShare cjk) {
  text += "  <window name=\"";
  text += kWindows[sequence.Next(std::size(kWindows))];
  text += "\" x=\"" + std::to_string(sequence.Next(1920)) + "\" y=\"" +
          std::to_string(sequence.Next(1080)) + "\" scale=\"0." +
          std::to_string(50 + sequence.Next(50)) + "\" visible=\"true\">\n";
  const unsigned slots = 2 + sequence.Next(10);
  for (unsigned k = 0; k < slots; ++k) {
    AppendSlot(text, sequence, cjk);
  }
  if (cjk == CjkShare::kHeavy || sequence.Next(3) == 0) {
    AppendNote(text, sequence, cjk);
  }
  text += "  </window>\n";
}

}  // namespace

std::string LayoutText(std::size_t size, CjkShare cjk) {
  Sequence sequence;
  std::string text;
  text.reserve(size + 4096);
  while (text.size() < size) {
    AppendWindow(text, sequence, cjk);
  }
  // Cut back to a character boundary, then pad with blanks to the size.
  std::size_t cut = size;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  text.resize(cut);
  text.append(size - cut, ' ');
  return text;
}
