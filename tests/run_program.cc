#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    Exec(argv, environment, "/", in[0], out[1], null);
  }
  close(null);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

BackgroundProgram::~BackgroundProgram() { Finish(); }

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

ProgramRun RunProgramOnTerminal(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment,
                                const std::string& working_directory, const std::string& prompt,
                                const std::string& key, bool& terminal_restored) {
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0) {
    return {};
  }
  if (pid == 0) {
    Exec(argv, environment, working_directory, 0, 1, 2);
  }
  ProgramRun run;
  bool typed = false;
  int status = 0;
  bool ended = false;
  int quiet_ms = 0;
  for (;;) {
    pollfd fd = {terminal, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) {
      // Helpers the program started (Wine's services) may hold the terminal
      // open after it ended; its end is what counts.
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
      // A program that never shows its prompt, or never ends, fails the
      // test instead of hanging it.
      if ((quiet_ms += 100) >= 20000) {
        kill(pid, SIGKILL);
        break;
      }
      continue;
    }
    quiet_ms = 0;
    char buffer[4096];
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) {
      break;  // EIO once the program has closed its side
    }
    run.output.append(buffer, static_cast<std::size_t>(got));
    if (!typed && run.output.find(prompt) != std::string::npos) {
      typed = write(terminal, key.data(), key.size()) == static_cast<ssize_t>(key.size());
    }
  }
  if (!ended) {
    waitpid(pid, &status, 0);
  }
  // What it wrote just before it ended.
  for (pollfd fd = {terminal, POLLIN, 0}; ended && poll(&fd, 1, 0) > 0;) {
    char buffer[4096];
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  run.exit_code = ExitCodeOf(status);
  termios settings;
  constexpr tcflag_t kLineMode = ICANON | ECHO | ISIG;
  terminal_restored =
      tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & kLineMode) == kLineMode;
  close(terminal);
  return run;
}
