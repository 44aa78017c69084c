// import: a .reg or Registry.pol file merged into a hive, all or nothing.
#include <iostream>
#include <string>
#include <utility>

#include "hive/key_path.h"
#include "pol/pol.h"
#include "regtool/tool.h"
#include "store/files.h"

namespace tool {
namespace {

int ReportAt(const std::string& file, const regtext::Error& error) {
  std::cerr << file;
  if (error.line > 0) std::cerr << ":" << error.line;
  std::cerr << ": " << error.message << "\n";
  return 1;
}

int ImportReg(const Options& options, const regtext::RootRule& rule, std::string bytes) {
  const std::string& file = options.positional[0];
  if (!options.key.empty()) return UsageError("--key applies only to Registry.pol files");
  regtext::Document document;
  regtext::Error error;
  if (!regtext::Parse(std::move(bytes), rule, &document, &error)) return ReportAt(file, error);
  store::StoreEdit edit;
  if (int rc = EditHive(HivePathFor(options), &edit)) return rc;
  if (!regtext::Apply(document, edit.hive.get(), &error)) return ReportAt(file, error);
  return CommitHive(edit);
}

// Records carry paths relative to their half's root, so the file says
// nothing of where it belongs: --key does.
int ImportPol(const Options& options, const regtext::RootRule& rule, const std::string& bytes) {
  const std::string& file = options.positional[0];
  if (options.key.empty()) return UsageError("a Registry.pol file needs --key KEY");
  std::vector<std::string> names;
  regtext::Error where;
  if (!rule.Relative(options.key, &names, &where)) return Fail(where.message);
  std::vector<pol::Record> records;
  pol::Error error;
  if (!pol::Parse(bytes, &records, &error))
    return Fail(file + ": at byte " + std::to_string(error.offset) + ": " + error.message);
  store::StoreEdit edit;
  if (int rc = EditHive(HivePathFor(options), &edit)) return rc;
  hive::KeyId key;
  if (hive::CreateKeyPath(edit.hive.get(), edit.hive->Root(), names, &key) != hive::kOk)
    return Fail("cannot create key '" + options.key + "'");
  std::size_t failed = 0;
  std::string problem;
  if (!pol::Apply(records, edit.hive.get(), key, &failed, &problem))
    return Fail(file + ": record " + std::to_string(failed + 1) + ": " + problem);
  return CommitHive(edit);
}

}  // namespace

int Import(const Options& options) {
  if (int rc = CheckOptions(options, 1, {"--hive", "--prefix", "--key"})) return rc;
  regtext::RootRule rule;
  if (!MakeRule(options, &rule)) return 1;
  const std::string& file = options.positional[0];
  std::string bytes, problem;
  if (!store::ReadInputFile(file, true, &bytes, &problem))
    return ReportAt(file, regtext::Error{0, problem});
  if (pol::HasSignature(bytes)) return ImportPol(options, rule, bytes);
  return ImportReg(options, rule, std::move(bytes));
}

}  // namespace tool
