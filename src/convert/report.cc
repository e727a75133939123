#include "convert/report.h"

#include "base/shown_path.h"

namespace {

NativeString Quoted(const NativeString& path) {
  return Native("\"") + ShownPath(path) + Native("\"");
}

}  // namespace

NativeString StatusLine(ConversionResult result, const NativeString& character_path,
                        const NativeString& settings_path, const NativeString& output_name) {
  switch (result) {
    case kConverted:
      return Native("[SUCCESS] ") + Quoted(settings_path) + Native(" >> ") + Quoted(output_name) +
             Native(".\n");
    case kCannotOpenCharacterFile:
      return Native("[WARNING] Cannot open ") + Quoted(character_path) +
             Native(", unable to extract character ID.\n");
    case kCharacterFileTooShort:
      return Native("[WARNING] ") + Quoted(character_path) +
             Native(" size too small, unable to extract character ID.\n");
    case kCharacterIdOutOfRange:
      return Native("[WARNING] charID out of range in ") + Quoted(settings_path) + Native(".\n");
    case kCannotOpenSettingsFile:
      return Native("[ERROR] Cannot open ") + Quoted(settings_path) +
             Native(", unable to extract <ui>.\n");
    case kUiBlockNotFound:
      return Native("[ERROR] \"<ui>\" not found in ") + Quoted(settings_path) + Native(".\n");
    case kCannotCreateOutputFile:
      return Native("[ERROR] Failed to create ui.####.xml for ") + Quoted(settings_path) +
             Native(".\n");
    case kUiBlockNotUtf8:
      return Native("[ERROR] \"<ui>\" block in ") + Quoted(settings_path) +
             Native(" is not valid UTF-8.\n");
    case kUiBlockTooLarge:
      return Native("[ERROR] \"<ui>\" block in ") + Quoted(settings_path) +
             Native(" is larger than 64 MiB.\n");
    case kUiBlockCut:
      return Native("[ERROR] \"<ui>\" block in ") + Quoted(settings_path) +
             Native(" is cut short; any earlier ui.####.xml is kept.\n");
    default:
      return Native("[UNKNOWN] Code: ") + NativeDecimal(result) + Native("\n");
  }
}
