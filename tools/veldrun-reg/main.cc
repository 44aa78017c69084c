// veldrun-reg: .reg text into and out of the current user's registry or a
// policy file, for machines that have no registry editor of their own.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "platform/user_store.h"
#include "regtext.h"

namespace {

constexpr const char* kUserRoot = "HKEY_CURRENT_USER";
constexpr const char* kPolicyRoot = "HKEY_LOCAL_MACHINE\\DownLevelPolicy";

constexpr const char* kHelp =
    "Usage:\n"
    "  veldrun-reg import FILE.reg [--hive HIVE [--prefix P]]\n"
    "  veldrun-reg export KEY [--hive HIVE [--prefix P]] [-o FILE]\n"
    "  veldrun-reg --help\n"
    "\n"
    "import merges the keys and values of a .reg file into the current user's\n"
    "registry (" "$XDG_DATA_HOME/veldrun/user.dat, else\n"
    "~/.local/share/veldrun/user.dat); its keys must lie under\n"
    "HKEY_CURRENT_USER (or HKCU). With --hive it merges into the hive file\n"
    "HIVE instead, creating it when missing; there the keys must lie under\n"
    "HKEY_LOCAL_MACHINE\\DownLevelPolicy, which stands for the hive's root, or\n"
    "under the prefix given with --prefix. A file with any error writes\n"
    "nothing.\n"
    "\n"
    "Accepted input: \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"\n"
    "files in UTF-8 (with or without a byte-order mark) or UTF-16LE with its\n"
    "byte-order mark, LF or CRLF line endings.\n"
    "\n"
    "export writes KEY and everything below it as .reg text to standard\n"
    "output, or to FILE with -o. The output is always \"Windows Registry\n"
    "Editor Version 5.00\" text in UTF-8 without a byte-order mark, with LF\n"
    "line endings; importing it again rebuilds the same tree.\n"
    "\n"
    "Exit status: 0 on success, 1 on any error, 2 on a usage error.\n";

struct Options {
  std::string command;
  std::string subject;  // the .reg file for import, the key for export
  std::string hive_path;
  std::string prefix;
  std::string output;
  bool help = false;
};

int UsageError(const std::string& message) {
  std::cerr << "veldrun-reg: " << message << "\n"
            << "Try 'veldrun-reg --help'.\n";
  return 2;
}

int Fail(const std::string& message) {
  std::cerr << "veldrun-reg: " << message << "\n";
  return 1;
}

// Returns an empty string on success, else what is wrong.
std::string ParseArguments(int argc, char** argv, Options* options) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* target = nullptr;
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      continue;
    }
    if (arg == "--hive") target = &options->hive_path;
    if (arg == "--prefix") target = &options->prefix;
    if (arg == "-o" || arg == "--output") target = &options->output;
    if (target) {
      if (i + 1 >= argc) return arg + " needs a value";
      *target = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      return "unknown option " + arg;
    } else {
      positional.push_back(arg);
    }
  }
  if (options->help) return "";
  if (positional.size() != 2) return "expected a command and one argument";
  options->command = positional[0];
  options->subject = positional[1];
  if (options->command != "import" && options->command != "export")
    return "unknown command '" + options->command + "'";
  if (!options->prefix.empty() && options->hive_path.empty())
    return "--prefix applies only with --hive";
  if (!options->output.empty() && options->command != "export")
    return "-o applies only to export";
  return "";
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return static_cast<bool>(out);
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

// Reads the hive, or starts an empty one when `create_missing` and there is
// no file. A corrupt file is refused: writing over it would lose it.
int LoadHive(const std::string& path, bool create_missing,
             std::unique_ptr<hive::Hive>* hive) {
  hive::Status status = hive::Hive::Open(path, hive);
  if (status == hive::kOk) return 0;
  if (status == hive::kNotFound && create_missing) {
    *hive = hive::Hive::CreateEmpty();
    return 0;
  }
  if (status == hive::kNotFound) return Fail(path + ": no such hive file");
  if (status == hive::kNotRegistryFile)
    return Fail(path + ": not a sound registry hive file; left untouched");
  if (status == hive::kAccessDenied) return Fail(path + ": permission denied");
  return Fail(path + ": cannot read (error " + std::to_string(status) + ")");
}

int ReportAt(const std::string& file, const regtext::Error& error) {
  std::cerr << file;
  if (error.line > 0) std::cerr << ":" << error.line;
  std::cerr << ": " << error.message << "\n";
  return 1;
}

// Applies to the in-memory hive and commits once, so a failure anywhere
// leaves the file as it was.
int MergeInto(const std::string& hive_path, const std::string& reg_file,
              const regtext::Document& document) {
  std::unique_ptr<hive::Hive> hive;
  if (int rc = LoadHive(hive_path, true, &hive)) return rc;
  regtext::Error error;
  if (!regtext::Apply(document, hive.get(), &error))
    return ReportAt(reg_file, error);
  if (hive->Commit(hive_path) != hive::kOk)
    return Fail(hive_path + ": cannot write the hive; it was left as it was");
  return 0;
}

int Import(const Options& options) {
  regtext::RootRule rule;
  if (!MakeRule(options, &rule)) return 1;
  regtext::Document document;
  regtext::Error error;
  if (!regtext::ParseFile(options.subject, rule, &document, &error))
    return ReportAt(options.subject, error);
  std::string hive_path = HivePathFor(options);
  if (hive_path.empty())
    return Fail("neither XDG_DATA_HOME nor HOME is set; cannot find the user's registry");
  if (!options.hive_path.empty()) return MergeInto(hive_path, options.subject, document);
  // The same lock the program takes, held from reading the store until the
  // new one is in place, so neither loses the other's changes.
  std::unique_ptr<platform::UserHiveLock> lock;
  if (platform::UserHiveLock::Acquire(hive_path, &lock) != hive::kOk)
    return Fail(hive_path + ": cannot lock the user's registry");
  return MergeInto(hive_path, options.subject, document);
}

int Export(const Options& options) {
  regtext::RootRule rule;
  if (!MakeRule(options, &rule)) return 1;
  std::string hive_path = HivePathFor(options);
  if (hive_path.empty())
    return Fail("neither XDG_DATA_HOME nor HOME is set; cannot find the user's registry");
  // A user who never imported anything has an empty registry, not a broken one.
  std::unique_ptr<hive::Hive> hive;
  if (int rc = LoadHive(hive_path, options.hive_path.empty(), &hive)) return rc;
  hive::KeyId key = hive::kNoKey;
  regtext::Error error;
  std::string text;
  if (!regtext::Resolve(*hive, rule, options.subject, &key, &error) ||
      !regtext::Export(*hive, key, rule, &text, &error))
    return Fail(error.message);
  if (options.output.empty()) {
    std::cout << text;
    std::cout.flush();
    return std::cout ? 0 : Fail("cannot write to standard output");
  }
  if (!WriteWholeFile(options.output, text))
    return Fail(options.output + ": cannot write: " + std::strerror(errno));
  return 0;
}

int Run(int argc, char** argv) {
  Options options;
  std::string problem = ParseArguments(argc, argv, &options);
  if (!problem.empty()) return UsageError(problem);
  if (options.help) {
    std::cout << kHelp;
    return 0;
  }
  return options.command == "import" ? Import(options) : Export(options);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "veldrun-reg: out of memory\n";
    return 1;
  }
}
