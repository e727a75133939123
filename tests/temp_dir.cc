#include "temp_dir.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <vector>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device seed;
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  // Names are random, so a few clashes are all that can happen by chance;
  // anything more means the folder cannot be made at all.
  for (int attempt = 0; !error && attempt < 100; ++attempt) {
    path_ = base / ("tarnwick-test-" + std::to_string(seed()));
    if (fs::create_directory(path_, error)) {
      path_ = fs::canonical(path_);
      return;
    }
  }
  std::cerr << (base.empty() ? "cannot find the temporary folder"
                             : "cannot create a test folder in \"" + base.string() + "\"")
            << ": " << (error ? error.message() : "every name tried is taken") << "\n";
  std::exit(1);
}

TempDir::~TempDir() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test != nullptr && test->result()->Failed()) {
    std::cerr << "Files of the failed test kept in " << path_.string() << "\n";
    return;
  }
  std::error_code error;
  // Tests may leave read-only folders behind; make them writable to remove.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
}

void InTempDirTest::SetUp() {
  previous_ = fs::current_path();
  fs::current_path(dir_.path());
}

void InTempDirTest::TearDown() { fs::current_path(previous_); }

void WriteBytes(const fs::path& path, std::string_view bytes) {
  if (path.has_parent_path()) {
    fs::create_directories(path.parent_path());
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path.string();
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ListFolder(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) {
    listing += listing.empty() ? name : " " + name;
  }
  return listing;
}
