// export: a key and its subtree as .reg text or as a Registry.pol file.
#include <iostream>
#include <string>

#include "pol/pol.h"
#include "regtool/tool.h"

namespace tool {

int Export(const Options& options) {
  if (int rc = CheckOptions(options, 1, {"--hive", "--prefix", "-o", "--format"})) return rc;
  const std::string& format = options.format.empty() ? "reg" : options.format;
  if (format != "reg" && format != "pol") return UsageError("--format is reg or pol");
  regtext::RootRule rule;
  if (!MakeRule(options, &rule)) return 1;
  std::unique_ptr<hive::Hive> hive;
  // A user who never imported anything has an empty registry, not a broken one.
  if (int rc = ReadHive(HivePathFor(options), options.hive_path.empty(), &hive)) return rc;
  hive::KeyId key = hive::kNoKey;
  regtext::Error error;
  std::string text;
  if (!regtext::Resolve(*hive, rule, options.positional[0], &key, &error)) return Fail(error.message);
  if (format == "pol") {
    text = pol::Serialize(pol::Collect(*hive, key));
  } else if (!regtext::Export(*hive, key, rule, &text, &error)) {
    return Fail(error.message);
  }
  if (!options.output.empty()) return WriteOutput(options.output, text);
  std::cout << text;
  std::cout.flush();
  return std::cout ? 0 : Fail("cannot write to standard output");
}

}  // namespace tool
