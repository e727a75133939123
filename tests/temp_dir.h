#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "base/native_text.h"

/// A fresh folder for one test. It is removed afterwards unless the test
/// failed; then its path is printed so the files can be looked at.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// A test that runs inside its own temporary working directory.
class InTempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TempDir dir_;
  std::filesystem::path previous_;
};

/// Creates `path` (and its folders) holding exactly `bytes`.
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);

/// The whole content of `path`; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);

/// The native form of a path, as the program passes paths around.
inline NativeString NativeOf(const std::filesystem::path& path) { return path.native(); }

/// The names of the entries in `folder`, sorted.
std::string ListFolder(const std::filesystem::path& folder);
