#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <iterator>

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) {
    pointers.push_back(const_cast<char*>(s.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

// In the child: the three standard streams, the folder, then the program.
[[noreturn]] void Exec(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment,
                       const std::string& working_directory, int in, int out, int err) {
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> env = CStrings(environment);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (chdir(working_directory.c_str()) != 0) _exit(126);
  execvpe(args[0], args.data(), env.data());
  _exit(127);
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment,
                      const std::string& working_directory, const std::string& input) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    Exec(argv, environment, working_directory, in[0], out[1], err[1]);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::signal(SIGPIPE, SIG_IGN);
  // Small inputs only: the whole of it fits in the pipe.
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
  }
  close(in[1]);
  ProgramRun run;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  int status = 0;
  bool exited = false;
  while (open_streams > 0) {
    const int ready = poll(fds, 2, 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      // Wine may start services that inherit the pipes and outlive the
      // program: once it has ended and nothing is left to read, stop.
      if (exited) break;
      exited = waitpid(pid, &status, WNOHANG) == pid;
      continue;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
      if (got > 0) {
        (k == 0 ? run.output : run.errors).append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_streams;
      }
    }
  }
  for (const pollfd& stream : fds) {
    if (stream.fd >= 0) close(stream.fd);
  }
  if (!exited) {
    waitpid(pid, &status, 0);
  }
  run.exit_code = ExitCodeOf(status);
  return run;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    return;
  }
  // Kept in memory rather than a pipe: services that Wine starts may hold
  // it long after the program ended.
  errors_ = memfd_create("background-errors", MFD_CLOEXEC);
  const int errors = errors_ >= 0 ? errors_ : open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    Exec(argv, environment, "/", in[0], out[1], errors);
  }
  if (errors != errors_) close(errors);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

BackgroundProgram::~BackgroundProgram() {
  Finish();
  if (errors_ >= 0) close(errors_);
}

std::string BackgroundProgram::Errors() const {
  std::string errors;
  char buffer[4096];
  ssize_t got;
  for (off_t at = 0; errors_ >= 0 && (got = pread(errors_, buffer, sizeof buffer, at)) > 0;
       at += got) {
    errors.append(buffer, static_cast<std::size_t>(got));
  }
  return errors;
}

std::string BackgroundProgram::ReadLine() {
  std::string line;
  char c;
  while (output_ >= 0 && read(output_, &c, 1) == 1 && c != '\n') {
    if (c != '\r') line += c;
  }
  return line;
}

int BackgroundProgram::Finish() {
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
  input_ = output_ = -1;
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
    pid_ = -1;
    return ExitCodeOf(status);
  }
  return -1;
}

namespace {

constexpr int kStoppedExit = 99;

// In the child: a stand-in for a shell that starts the program as a job of
// the terminal that the child controls, in the background or in the
// foreground. A foreground job may be stopped and continued by the test.
[[noreturn]] void ExecAsJob(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment,
                            const std::string& working_directory, int terminal, bool foreground) {
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    if (foreground) {
      std::signal(SIGTTOU, SIG_IGN);
      tcsetpgrp(terminal, getpgrp());
      std::signal(SIGTTOU, SIG_DFL);
    }
    Exec(argv, environment, working_directory, terminal, terminal, terminal);
  }
  setpgid(job, job);
  int status = 0;
  if (waitpid(job, &status, foreground ? 0 : WUNTRACED) != job) _exit(127);
  if (WIFSTOPPED(status)) {
    // A shell would wait for ever for "fg".
    kill(job, SIGKILL);
    waitpid(job, &status, 0);
    _exit(kStoppedExit);
  }
  if (WIFSIGNALED(status)) _exit(128 + WTERMSIG(status));
  _exit(WEXITSTATUS(status));
}

void AppendAvailable(int terminal, std::string& output, int wait_ms) {
  pollfd fd = {terminal, POLLIN, 0};
  char buffer[4096];
  while (poll(&fd, 1, wait_ms) > 0) {
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) return;
    output.append(buffer, static_cast<std::size_t>(got));
    wait_ms = 0;
  }
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// What was typed and not read: the terminal keeps it while the test holds
// it open.
std::string UnreadInput(int terminal) {
  termios settings;
  if (tcgetattr(terminal, &settings) != 0) return {};
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  tcsetattr(terminal, TCSANOW, &settings);
  char buffer[256];
  const ssize_t got = read(terminal, buffer, sizeof buffer);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

// The state letter of process `pid` in /proc ('T' when stopped).
char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t name_end = line.rfind(") ");
  return name_end == std::string::npos ? '?' : line[name_end + 2];
}

// Waits up to five seconds for `done`.
template <typename Done>
bool WaitFor(Done done) {
  for (int waited_ms = 0; waited_ms < 5000; waited_ms += 10) {
    if (done()) return true;
    usleep(10000);
  }
  return done();
}

// As a shell's job control would: stops the foreground job, then continues
// it in the foreground, then types the key.
void StopAndContinue(int master, int terminal, const termios& before, const TerminalScript& script,
                     TerminalRun& result) {
  const pid_t job = tcgetpgrp(master);
  if (job <= 0) return;
  kill(-job, script.signal);
  termios now;
  if (WaitFor([&] { return ProcessState(job) == 'T'; })) {
    result.restored_while_stopped = tcgetattr(terminal, &now) == 0 && SameSettings(before, now);
    if (script.shell_sets_terminal_back) tcsetattr(terminal, TCSANOW, &before);
  }
  AppendAvailable(master, result.output, 0);
  kill(-job, SIGCONT);
  const std::size_t continued_at = result.output.size();
  for (int waited_ms = 0; waited_ms < 300; waited_ms += 20) {
    AppendAvailable(master, result.output, 20);
  }
  result.shown_after_continue = result.output.substr(continued_at);
  result.raw_after_continue =
      WaitFor([&] { return tcgetattr(terminal, &now) == 0 && (now.c_lflag & ICANON) == 0; });
  if (write(master, script.key.data(), script.key.size()) < 0) {
  }
}

}  // namespace

TerminalRun RunProgramOnTerminal(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment,
                                 const std::string& working_directory,
                                 const TerminalScript& script) {
  TerminalRun result;
  int master = -1;
  int terminal = -1;
  termios before;
  winsize size = {};
  size.ws_row = 40;
  size.ws_col = static_cast<unsigned short>(script.columns);
  if (openpty(&master, &terminal, nullptr, nullptr, script.columns > 0 ? &size : nullptr) != 0) {
    return result;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(terminal, F_SETFD, FD_CLOEXEC);
  tcgetattr(terminal, &before);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(terminal, TIOCSCTTY, 0);
    // A SIGQUIT leaves no core file in the test's folders.
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (script.in_background || script.continue_after_stop) {
      ExecAsJob(argv, environment, working_directory, terminal, script.continue_after_stop);
    }
    Exec(argv, environment, working_directory, terminal, terminal, terminal);
  }
  bool acted = false;
  int status = 0;
  // A program that never ends fails the test instead of hanging it.
  for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) != pid; waited_ms += 20) {
    if (waited_ms > 20000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    AppendAvailable(master, result.output, 20);
    if (!acted && result.output.find(script.prompt) != std::string::npos) {
      acted = true;
      if (script.continue_after_stop) {
        StopAndContinue(master, terminal, before, script, result);
      } else if (script.signal != 0) {
        kill(pid, script.signal);
      } else if (write(master, script.key.data(), script.key.size()) < 0) {
      }
    }
  }
  AppendAvailable(master, result.output, 0);
  result.exit_code = ExitCodeOf(status);
  result.end_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.stopped = script.in_background && result.exit_code == kStoppedExit;
  termios after;
  result.terminal_restored = tcgetattr(terminal, &after) == 0 && SameSettings(before, after);
  result.input_left = UnreadInput(terminal);
  close(master);
  close(terminal);
  return result;
}
