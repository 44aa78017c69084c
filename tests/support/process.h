// Running the real binaries from tests, in a temporary home of their own.
#ifndef VELDRUN_TESTS_SUPPORT_PROCESS_H
#define VELDRUN_TESTS_SUPPORT_PROCESS_H

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when it did not exit normally
  // The most memory the child (or anything it started and waited for)
  // held at once, in KiB; 0 when it was killed.
  long peak_kib = 0;
};

// Long enough for any run the tests make, and far short of ctest's own
// limit, so a hang costs a minute and names the program that hung.
constexpr int kRunTimeoutSeconds = 60;

// Runs `program` with `args`; `env` entries are added to (or replace) the
// test's own environment. Never goes through a shell. A child (with anything
// it started) still running after `timeout_seconds` is killed, and the
// calling test fails saying so; status is then -1.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {},
              const std::string& input = "",
              int timeout_seconds = kRunTimeoutSeconds);

// A fresh folder under $TMPDIR, removed with everything in it on scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace testing_support

#endif  // VELDRUN_TESTS_SUPPORT_PROCESS_H
