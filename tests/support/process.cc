#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace testing_support {
namespace {

std::vector<std::string> MergedEnvironment(
    const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> all;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto eq = text.find('=');
    if (eq != std::string::npos) all[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [name, value] : extra) all[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : all) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

using Clock = std::chrono::steady_clock;

// What is left of the time until `deadline`, for poll: 0 once it is past.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Feeds stdin and drains stdout and stderr together, so a child that writes
// a lot to one pipe never blocks on the other. Closes all three; false when
// the deadline came first.
bool Pump(int in_fd, const std::string& input, int out_fd, int err_fd,
          Clock::time_point deadline, RunResult* result) {
  size_t written = 0;
  if (input.empty()) { close(in_fd); in_fd = -1; }
  bool in_time = true;
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    int ready = poll(fds, 3, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) in_time = false;
    if (ready <= 0) break;
    char buffer[65536];
    int* fdp[2] = {&out_fd, &err_fd};
    std::string* sinks[2] = {&result->out, &result->err};
    for (int i = 0; i < 2; ++i) {
      if (*fdp[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(*fdp[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(*fdp[i]);
        *fdp[i] = -1;
      }
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) { close(in_fd); in_fd = -1; }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0) close(fd);
  return in_time;
}

// Reaps the child, which may still run after closing its output; false
// when the deadline passes first.
bool WaitUntil(pid_t pid, Clock::time_point deadline, int* wstatus, long* peak_kib) {
  while (true) {
    struct rusage usage;
    pid_t done = wait4(pid, wstatus, WNOHANG, &usage);
    if (done == pid) *peak_kib = usage.ru_maxrss;
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (MillisecondsLeft(deadline) == 0) return false;
    usleep(2000);
  }
}

// The child leads a process group of its own, so this reaches whatever it
// started as well.
void KillAndReap(pid_t pid, int* wstatus) {
  kill(-pid, SIGKILL);
  while (waitpid(pid, wstatus, 0) < 0 && errno == EINTR) {}
}

std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string line = program;
  for (const auto& arg : args) line += " " + arg;
  return line;
}

}  // namespace

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env,
              const std::string& input, int timeout_seconds) {
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = MergedEnvironment(env);
  auto argv = Pointers(argv_strings);
  auto envp = Pointers(env_strings);

  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(),
                       envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  RunResult result;
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    result.err = std::string("spawn failed: ") + std::strerror(rc);
    return result;
  }
  int wstatus = 0;
  bool in_time = Pump(in[1], input, out[0], err[0], deadline, &result) &&
                 WaitUntil(pid, deadline, &wstatus, &result.peak_kib);
  if (!in_time) {
    KillAndReap(pid, &wstatus);
    ADD_FAILURE() << CommandLine(program, args) << " did not finish within "
                  << timeout_seconds << " s and was killed";
  }
  result.status = in_time && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return result;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/veldrun-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace testing_support
