#include "platform/steam_libraries.h"

#include <optional>

namespace {

enum class TokenKind { kText, kOpen, kClose, kEnd, kBroken };

struct Token {
  TokenKind kind;
  std::string text;
};

void SkipSpaceAndComments(std::string_view& vdf) {
  while (!vdf.empty()) {
    if (vdf.starts_with("//")) {
      const std::size_t end = vdf.find('\n');
      vdf = end == std::string_view::npos ? std::string_view() : vdf.substr(end + 1);
    } else if (vdf.front() == ' ' || vdf.front() == '\t' || vdf.front() == '\r' ||
               vdf.front() == '\n') {
      vdf.remove_prefix(1);
    } else {
      return;
    }
  }
}

// A double-quoted string, in which only \\ and \" are escapes; any other
// backslash stands for itself. Nothing when the closing quote is missing.
std::optional<std::string> QuotedText(std::string_view& vdf) {
  std::string text;
  for (std::size_t i = 1; i < vdf.size(); ++i) {
    if (vdf[i] == '"') {
      vdf.remove_prefix(i + 1);
      return text;
    }
    if (vdf[i] == '\\' && i + 1 < vdf.size() && (vdf[i + 1] == '\\' || vdf[i + 1] == '"')) {
      ++i;
    }
    text += vdf[i];
  }
  return std::nullopt;
}

// Steam writes every key and value quoted; a bare word is read as one too,
// so that it keeps keys and values paired.
std::string BareText(std::string_view& vdf) {
  std::size_t end = 0;
  while (end < vdf.size() && vdf[end] != ' ' && vdf[end] != '\t' && vdf[end] != '\r' &&
         vdf[end] != '\n' && vdf[end] != '"' && vdf[end] != '{' && vdf[end] != '}') {
    ++end;
  }
  std::string text(vdf.substr(0, end));
  vdf.remove_prefix(end);
  return text;
}

Token NextToken(std::string_view& vdf) {
  SkipSpaceAndComments(vdf);
  if (vdf.empty()) {
    return {TokenKind::kEnd, {}};
  }
  if (vdf.front() == '{' || vdf.front() == '}') {
    const TokenKind kind = vdf.front() == '{' ? TokenKind::kOpen : TokenKind::kClose;
    vdf.remove_prefix(1);
    return {kind, {}};
  }
  if (vdf.front() != '"') {
    return {TokenKind::kText, BareText(vdf)};
  }
  std::optional<std::string> text = QuotedText(vdf);
  if (!text) {
    return {TokenKind::kBroken, {}};
  }
  return {TokenKind::kText, std::move(*text)};
}

bool IsLibraryPath(const std::string& value) {
  return value.starts_with("/") && value.find('\0') == std::string::npos;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path == "/" ? std::string() : path;
}

}  // namespace

std::vector<std::string> SteamLibraryPaths(std::string_view vdf) {
  std::vector<std::string> paths;
  std::optional<std::string> key;
  while (paths.size() < kMaxSteamLibraries) {
    Token token = NextToken(vdf);
    if (token.kind == TokenKind::kEnd || token.kind == TokenKind::kBroken) {
      return paths;
    }
    if (token.kind != TokenKind::kText) {
      // A block opens after its key, or ends; either way a key comes next.
      key.reset();
    } else if (!key) {
      key = std::move(token.text);
    } else {
      if (*key == "path" && IsLibraryPath(token.text)) {
        paths.push_back(WithoutTrailingSlashes(std::move(token.text)));
      }
      key.reset();
    }
  }
  return paths;
}
