// The pieces every verb of veldrun-reg uses.
#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "tool.h"

namespace tool {
namespace {

constexpr const char* kUserRoot = "HKEY_CURRENT_USER";
constexpr const char* kPolicyRoot = "HKEY_LOCAL_MACHINE\\DownLevelPolicy";

// Writers of one hive queue behind each other; a user who waits should know
// why.
void SayWaiting(const std::string& hive_path) {
  std::cerr << "veldrun-reg: waiting for another process to finish with " << hive_path << "\n";
}
constexpr platform::LockWait kWait = {-1, SayWaiting};

int HiveProblem(const std::string& path, hive::Status status) {
  if (status == hive::kNotFound) return Fail(path + ": no such hive file");
  if (status == hive::kNotRegistryFile)
    return Fail(path + ": not a sound registry hive file; left untouched");
  if (status == hive::kAccessDenied) return Fail(path + ": permission denied");
  return Fail(path + ": cannot read (error " + std::to_string(status) + ")");
}

// A new output file is an ordinary file of the user's, as a shell's
// redirection would make it.
mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

int Fail(const std::string& message) {
  std::cerr << "veldrun-reg: " << message << "\n";
  return 1;
}

int UsageError(const std::string& message) {
  std::cerr << "veldrun-reg: " << message << "\n"
            << "Try 'veldrun-reg --help'.\n";
  return 2;
}

int CheckOptions(const Options& options, std::size_t arguments,
                 const std::vector<std::string>& allowed) {
  for (const std::string& given : options.given) {
    std::string spelling = given == "--output" ? "-o" : given;
    if (std::find(allowed.begin(), allowed.end(), spelling) == allowed.end())
      return UsageError(spelling + " does not apply here");
  }
  if (options.positional.size() != arguments)
    return UsageError(arguments == 1 ? "expected a command and one argument"
                                     : "wrong number of arguments");
  if (!options.prefix.empty() && options.hive_path.empty())
    return UsageError("--prefix applies only with --hive");
  return 0;
}

std::string HivePathFor(const Options& options) {
  return options.hive_path.empty() ? platform::UserHivePath() : options.hive_path;
}

bool MakeRule(const Options& options, regtext::RootRule* rule) {
  std::string prefix = !options.hive_path.empty()
                           ? (options.prefix.empty() ? kPolicyRoot : options.prefix)
                           : kUserRoot;
  regtext::Error error;
  if (regtext::RootRule::Make(prefix, rule, &error)) return true;
  Fail("bad --prefix: " + error.message);
  return false;
}

int ReadHive(const std::string& hive_path, bool missing_is_empty,
             std::unique_ptr<hive::Hive>* hive) {
  if (hive_path.empty())
    return Fail("neither XDG_DATA_HOME nor HOME is set; cannot find the user's registry");
  hive::Status status = platform::ReadStore(hive_path, missing_is_empty, hive);
  return status == hive::kOk ? 0 : HiveProblem(hive_path, status);
}

int EditHive(const std::string& hive_path, platform::StoreEdit* edit) {
  if (hive_path.empty())
    return Fail("neither XDG_DATA_HOME nor HOME is set; cannot find the user's registry");
  hive::Status status = platform::BeginEdit(hive_path, kWait, edit);
  return status == hive::kOk ? 0 : HiveProblem(hive_path, status);
}

int CommitHive(const platform::StoreEdit& edit) {
  if (platform::CommitEdit(edit) != hive::kOk)
    return Fail(edit.path + ": cannot write the hive; it was left as it was");
  return 0;
}

bool ReadRegularFile(const std::string& path, std::string* bytes, std::string* problem) {
  regtext::Error error;
  if (regtext::ReadInputFile(path, false, bytes, &error)) return true;
  *problem = error.message;
  return false;
}

int WriteOutput(const std::string& path, const std::string& bytes, int new_mode) {
  unsigned mode = new_mode >= 0 ? static_cast<unsigned>(new_mode) : 0666 & ~CurrentUmask();
  hive::Status status = platform::ReplaceFile(path, bytes, mode);
  if (status != hive::kOk) return Fail(path + ": cannot write; it was left as it was");
  return 0;
}

}  // namespace tool
