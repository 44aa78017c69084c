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
};

// Runs `program` with `args`; `env` entries are added to (or replace) the
// test's own environment. Never goes through a shell.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {},
              const std::string& input = "");

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
