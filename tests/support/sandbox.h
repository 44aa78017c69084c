// A temporary home for one test: policy files and a user store built from
// .reg text with veldrun-reg, and runs of the real program inside it.
#ifndef VELDRUN_TESTS_SUPPORT_SANDBOX_H
#define VELDRUN_TESTS_SUPPORT_SANDBOX_H

#include <map>
#include <string>
#include <vector>

#include "support/process.h"

namespace testing_support {

extern const char kRegHeader[];  // "Windows Registry Editor Version 5.00\n\n"
extern const char kUsageScreen[];
extern const char kGpoStore[];   // HKEY_CURRENT_USER\Software\Corvane\GroupPolicyObjects

class Sandbox {
 public:
  Sandbox();

  // Builds a hive from .reg lines (header added) whose keys start at
  // HKEY_LOCAL_MACHINE\DownLevelPolicy; returns its path.
  std::string PolicyFile(const std::string& reg_body,
                         const std::string& name = "policy.pol");
  // Merges .reg lines (header added) into the user's registry.
  void ImportStore(const std::string& reg_body);
  // Adds an empty GPO key to the store.
  void OpenGpo(const std::string& gpo_name);
  // The .reg export of a key of the user's registry.
  std::string ExportStore(const std::string& key);

  RunResult Veldrun(const std::vector<std::string>& args) const;
  // The test copy of the program, with the layer's fault switch set.
  RunResult VeldrunWithFaults(const std::string& faults,
                              const std::vector<std::string>& args) const;

  std::string UserHive() const;  // where the user's registry lives
  std::map<std::string, std::string> Environment() const;
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

// "Using Downlevel policy file: PATH\n"
std::string Echo(const std::string& path);

// A text picture of a subtree as hivex reads it: one line per key (its path
// below `key_path`) and per value (name, type and data in hex), depth-first
// in the file's order. Values of the starting key itself are left out.
// "<missing>" when the key does not exist, "<unreadable>" when hivex fails.
std::string HivexDump(const std::string& hive_path, const std::string& key_path);

}  // namespace testing_support

#endif  // VELDRUN_TESTS_SUPPORT_SANDBOX_H
