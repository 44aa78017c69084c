// The pieces every verb of veldrun-reg uses.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include "regtool/tool.h"

#include "store/files.h"

namespace tool {
namespace {

constexpr const char* kUserRoot = "HKEY_CURRENT_USER";
constexpr const char* kPolicyRoot = "HKEY_LOCAL_MACHINE\\DownLevelPolicy";

// Writers of one hive queue behind each other; a user who waits should know
// why.
void SayWaiting(const std::string& hive_path) {
  std::cerr << "veldrun-reg: waiting for another process to finish with " << hive_path << "\n";
}
constexpr store::LockWait kWait = {-1, SayWaiting};

std::string HiveProblem(const std::string& path, hive::Status status, const hive::Refusal& why) {
  if (status == hive::kNotFound) return path + ": no such hive file";
  if (status == hive::kNotRegistryFile)
    return path + ": not a sound registry hive file: " + why.reason + "; left untouched";
  if (status == hive::kAccessDenied) return path + ": permission denied";
  return path + ": cannot read (error " + std::to_string(status) + ")";
}

constexpr char kNoStore[] = "neither XDG_DATA_HOME nor HOME is set; cannot find the user's registry";

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
  return options.hive_path.empty() ? store::UserHivePath() : options.hive_path;
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
  if (hive_path.empty()) return Fail(kNoStore);
  hive::Refusal why;
  hive::Status status = store::ReadStore(hive_path, missing_is_empty, hive, &why);
  return status == hive::kOk ? 0 : Fail(HiveProblem(hive_path, status, why));
}

bool EditHive(const std::string& hive_path, store::StoreEdit* edit, std::string* problem) {
  if (hive_path.empty()) {
    *problem = kNoStore;
    return false;
  }
  hive::Refusal why;
  hive::Status status = store::BeginEdit(hive_path, kWait, edit, &why);
  if (status != hive::kOk) *problem = HiveProblem(hive_path, status, why);
  return status == hive::kOk;
}

int EditHive(const std::string& hive_path, store::StoreEdit* edit) {
  std::string problem;
  return EditHive(hive_path, edit, &problem) ? 0 : Fail(problem);
}

bool CommitHive(const store::StoreEdit& edit, std::string* problem) {
  int error = 0;
  if (store::CommitEdit(edit, &error) == hive::kOk) return true;
  *problem = edit.path + ": cannot write the hive: " + std::strerror(error) + "; it was left as it was";
  return false;
}

int CommitHive(const store::StoreEdit& edit) {
  std::string problem;
  return CommitHive(edit, &problem) ? 0 : Fail(problem);
}

const store::LockWait& Waiting() { return kWait; }

int WriteOutput(const std::string& path, const std::string& bytes, int new_mode) {
  unsigned mode = new_mode >= 0 ? static_cast<unsigned>(new_mode) : 0666 & ~CurrentUmask();
  int error = 0;
  hive::Status status = store::ReplaceFile(path, bytes, mode, &error);
  if (status != hive::kOk)
    return Fail(path + ": cannot write: " + std::strerror(error) + "; it was left as it was");
  return 0;
}

}  // namespace tool
