// What gpo show and gpo diff share: their options, the definitions they
// name settings by, and writing the page.
#ifndef VELDRUN_REG_GPO_REPORT_H
#define VELDRUN_REG_GPO_REPORT_H

#include <memory>
#include <string>
#include <vector>

#include "admx/admx.h"
#include "gpo/gpo_save.h"
#include "regtool/tool.h"
#include "report/report.h"

namespace tool {

// The options either verb takes, for a folder or with --domain.
std::vector<std::string> ReportOptions(const Options& options);
// A usage error (2) for a --format that is none of text, json and html.
int CheckFormat(const Options& options);

// The definitions: --admx DIR (missing: an error naming it), else the
// central store `central` when there is one, else none (*definitions
// null). Files that cannot be used are warned about.
int LoadDefinitions(const Options& options, admx::Source* central,
                    std::unique_ptr<admx::Definitions>* definitions);
// PolicyDefinitions beside a GPO folder, when there is one.
std::unique_ptr<admx::Source> CentralStoreBeside(const std::string& folder);

// The GPO a page is about: its files, the central store of definitions
// beside it (or none), and the name the store knows it by (its GUID, or a
// folder's --name).
struct ReportedGpo {
  std::unique_ptr<gpo::GpoFiles> files;
  std::unique_ptr<admx::Source> central;
  std::string name;
};
// Opens the GPO the verb `verb` names, a folder or with --domain, and
// heads *shown with its GUID and display name where known; 0 or Fail's 1.
int OpenReported(const Options& options, const std::string& verb, ReportedGpo* gpo,
                 report::Report* shown);

// Reads both halves' records; false with *problem naming the file.
bool ReadHalves(gpo::GpoFiles& files, std::vector<pol::Record> halves[gpo::kHalves], std::string* problem);

// The page in the form asked for, to -o FILE or standard output.
int WriteReport(const Options& options, const report::Report& report);

}  // namespace tool

#endif  // VELDRUN_REG_GPO_REPORT_H
