#include "end_to_end_fixture.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <utility>

#include "fixtures.h"

namespace fs = std::filesystem;

ProgramUnderTest g_under_test;

extern char** environ;

namespace {

std::string InCodePage936(const std::string& utf8) {
  iconv_t converter = iconv_open("CP936", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no CP936 converter";
    return utf8;
  }
  std::string input = utf8;
  std::string output(utf8.size() * 2 + 16, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t in_left = input.size();
  std::size_t out_left = output.size();
  if (iconv(converter, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1)) {
    ADD_FAILURE() << "not representable in code page 936: " << utf8;
  }
  iconv_close(converter);
  output.resize(output.size() - out_left);
  return output;
}

// The Windows user's Documents folder in the prefix; Wine names the user
// folder after the Unix account.
bool FindWineDocuments(ProgramUnderTest& under_test) {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr) {
    return false;
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(prefix) / "drive_c" / "users", error)) {
    const std::string user = entry.path().filename().string();
    if (user != "Public" && fs::is_directory(entry.path() / "Documents")) {
      under_test.wine_documents = (entry.path() / "Documents").string();
      under_test.wine_documents_shown = "C:\\users\\" + user + "\\Documents";
      return true;
    }
  }
  return false;
}

}  // namespace

void EndToEndTest::SetUp() {
  root_ = dir_.path().string();
  program_folder_ = root_ + "/game";
  fs::create_directories(program_folder_);
  fs::create_directories(root_ + "/caller");
  fs::copy_file(g_under_test.program, program_folder_ + "/" + ProgramName());
  if (g_under_test.under_wine) {
    // One prefix serves every test, so each starts with no Quellmoor folder.
    documents_ = g_under_test.wine_documents;
    fs::remove_all(documents_ + "/Quellmoor");
    cache_shown_ = g_under_test.wine_documents_shown + "\\Quellmoor\\cache\\";
    for (char** variable = environ; *variable != nullptr; ++variable) {
      environment_.emplace_back(*variable);
    }
    environment_.emplace_back("WINEDEBUG=-all");
  } else {
    documents_ = root_ + "/home/Documents";
    environment_ = {"HOME=" + root_ + "/home", "PATH=/usr/bin:/bin"};
  }
  cache_ = documents_ + "/Quellmoor/cache/";
  if (!g_under_test.under_wine) cache_shown_ = cache_;
  fs::create_directories(cache_);
}

void EndToEndTest::TearDown() {
  if (g_under_test.under_wine && !HasFailure()) {
    fs::remove_all(documents_ + "/Quellmoor");
  }
}

ProgramRun EndToEndTest::Run(const std::vector<std::string>& arguments) {
  return RunStartedBy({}, arguments);
}

ProgramRun EndToEndTest::RunWithin(int seconds, const std::vector<std::string>& arguments) {
  return RunStartedBy({"/usr/bin/timeout", "-s", "KILL", std::to_string(seconds)}, arguments);
}

ProgramRun EndToEndTest::RunStartedBy(std::vector<std::string> starter,
                                      const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = std::move(starter);
  if (g_under_test.under_wine) argv.push_back("wine");
  argv.push_back(program_folder_ + "/" + ProgramName());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProgramRun run = RunProgram(argv, environment_, root_ + "/caller");
  EXPECT_EQ(run.errors, "");
  return run;
}

std::string EndToEndTest::Shown(const std::string& path) const {
  if (!g_under_test.under_wine) {
    return path;
  }
  std::string shown = path.starts_with("/") ? "Z:" + path : path;
  for (char& c : shown) {
    if (c == '/') c = '\\';
  }
  return shown;
}

std::string EndToEndTest::Console(const std::string& text) const {
  if (!g_under_test.under_wine) {
    return text;
  }
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return InCodePage936(crlf);
}

std::string EndToEndTest::Header() const {
  return kBanner + "Current Dir: " + Shown(program_folder_) + "\n\n";
}

std::string EndToEndTest::Pause() const {
  // Wine's command interpreter words its prompt its own way, and with its
  // input at an end it returns without a line end.
  return g_under_test.under_wine ? "Press any key to continue... " : kPausePrompt + "\n";
}

std::string EndToEndTest::ProgramName() const {
  return g_under_test.under_wine ? "Tarnwick.exe" : "tarnwick";
}

void EndToEndTest::AddPair(const std::string& name, const std::string& character,
                           const std::string& settings) {
  WriteBytes(cache_ + name + ".tmp", character);
  WriteBytes(cache_ + name + "_sc.tmp", settings);
}

std::unique_ptr<BackgroundProgram> EndToEndTest::StartHelper(const std::vector<std::string>& argv,
                                                             const std::string& ready) {
  std::string starts;
  for (int start = 1; start <= 3; ++start) {
    auto helper = std::make_unique<BackgroundProgram>(argv, environment_);
    const std::string said = helper->ReadLine();
    if (said == ready) return helper;
    const std::string errors = helper->Errors();
    const int status = helper->Finish();
    starts += "start " + std::to_string(start) + ": said \"" + said + "\", exit status " +
              std::to_string(status) + ", standard error:\n" + errors + "\n";
    if (!said.empty()) break;
  }
  std::string command;
  for (const std::string& argument : argv) command += (command.empty() ? "" : " ") + argument;
  ADD_FAILURE() << command << " never said \"" << ready << "\":\n" << starts;
  return nullptr;
}

void MakeHourOld(const std::string& path) {
  timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void DateHourAhead(const std::string& path) {
  timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--program=")) {
      g_under_test.program = fs::absolute(argument.substr(10)).string();
    } else if (argument.starts_with("--holder=")) {
      g_under_test.holder = fs::absolute(argument.substr(9)).string();
    } else if (argument.starts_with("--linux-program=")) {
      g_under_test.linux_program = fs::absolute(argument.substr(16)).string();
    }
  }
  g_under_test.under_wine = g_under_test.program.ends_with(".exe");
  if (g_under_test.program.empty() ||
      (g_under_test.under_wine && !FindWineDocuments(g_under_test))) {
    std::fprintf(stderr,
                 "usage: %s --program=PATH_TO_TARNWICK\n"
                 "       WINEPREFIX=PREFIX %s --program=Tarnwick.exe --holder=hold_file_open.exe\n"
                 "           [--linux-program=tarnwick]\n",
                 argv[0], argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
