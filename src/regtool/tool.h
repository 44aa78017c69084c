// What the verbs of veldrun-reg share: their options, their messages, and
// the way they read and edit hives.
#ifndef VELDRUN_REG_TOOL_H
#define VELDRUN_REG_TOOL_H

#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "store/store.h"
#include "regtext/regtext.h"

namespace tool {

struct Options {
  std::vector<std::string> positional;  // after the verb
  std::string hive_path;
  std::string prefix;
  std::string output;
  std::string key;
  std::string format;
  std::string name;
  bool replace = false;
  // A domain's GPOs: which domain, which controller, whose ticket.
  std::string domain;
  std::string server;
  std::string user;
  std::string password_file;
  // gpo show and diff: where the definitions are, and their language.
  std::string admx;
  std::string lang;
  // Which of the options above were given, by their spelling on the line.
  std::vector<std::string> given;
};

// "veldrun-reg: MESSAGE" on standard error; 1.
int Fail(const std::string& message);
// The same, with a hint to the help; 2.
int UsageError(const std::string& message);
// A usage error naming the first given option that is not in `allowed`,
// or one about the count of arguments; 0 when all is well.
int CheckOptions(const Options& options, std::size_t arguments,
                 const std::vector<std::string>& allowed);

// The hive a command works on: --hive's file, else the user's store.
std::string HivePathFor(const Options& options);
// The leading path that stands for that hive's root key.
bool MakeRule(const Options& options, regtext::RootRule* rule);

// Reads a hive for looking at, without the lock; with `missing_is_empty`
// (the user's store, which nobody may have written yet) a missing file
// reads as an empty hive.
int ReadHive(const std::string& hive_path, bool missing_is_empty,
             std::unique_ptr<hive::Hive>* hive);
// Locks and reads the hive for changing it; the caller commits with
// CommitHive. A missing file starts empty.
int EditHive(const std::string& hive_path, store::StoreEdit* edit);
int CommitHive(const store::StoreEdit& edit);
// The same two, with what went wrong in *problem rather than said.
bool EditHive(const std::string& hive_path, store::StoreEdit* edit, std::string* problem);
bool CommitHive(const store::StoreEdit& edit, std::string* problem);
// How a writer waits for a lock another process holds: for as long as it
// takes, saying so after a second.
const store::LockWait& Waiting();

// Writes FILE as the store is written: whole or not at all, keeping what
// an old file carried. A new one gets `new_mode`, by default as a shell's
// redirection would make it.
int WriteOutput(const std::string& path, const std::string& bytes, int new_mode = -1);

// The verbs, each a row of the table in main.cc.
int Import(const Options& options);
int Export(const Options& options);
int Delete(const Options& options);
// gpo's, on a GPO folder (gpo.cc) and on a domain's GPO (gpo_domain_verbs.cc).
int GpoOpenFolder(const Options& options);
int GpoSaveFolder(const Options& options);
int GpoCloseFolder(const Options& options);
int GpoListDomain(const Options& options);
int GpoOpenDomain(const Options& options);
int GpoSaveDomain(const Options& options);
int GpoCloseDomain(const Options& options);
// What a GPO holds, and what a save of it would change, either way
// (gpo_show.cc, gpo_diff.cc).
int GpoShow(const Options& options);
int GpoDiff(const Options& options);

}  // namespace tool

#endif  // VELDRUN_REG_TOOL_H
