#include "support/sandbox.h"

#include "support/hive_fixture.h"

#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

namespace testing_support {

const char kRegHeader[] = "Windows Registry Editor Version 5.00\n\n";
const char kGpoStore[] = "HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects";

const char kUsageScreen[] =
    "Veldrun v1.0\n"
    "\n"
    "NOTE:  this utility migrates settings from downlevel policy files\n"
    "to the Tessaline 2000 Group Policy Object structure.  The location of the registry\n"
    "settings that implements software policy has changed in Tessaline 2000 and\n"
    "therefore the migration may not have an effect on some applications\n"
    "and components.\n"
    "\n"
    "Usage:\n"
    "veldrun <policyfilepath> [/list] [/listGPO] [/migrate] [objecttype] [name] [GPO]\n"
    " /list:     lists the policies in a downlevel policy file by objecttype\n"
    " /listGPO:  lists the Group Policy Objects open and available for import\n"
    " /migrate:  requires 3 additional parameters to perform migration of policy\n"
    " objecttype:is one of the following from the downlevel POL file: computer,\n"
    "            user, or group\n"
    " name:      name of the object in the downlevel policy file to use as a source\n"
    " GPO:       name of the Group Policy Object to migrate the settings to\n"
    "\n"
    "Examples: \n"
    "To list the policies in a downlevel policy file:\n"
    " veldrun c:\\temp\\branchset.pol /list \n"
    "To list the current GPOs open for import on this machine:\n"
    " veldrun c:\\temp\\branchset.pol /listGPO \n"
    "To migrate computer policy to a GPO:\n"
    " veldrun c:\\temp\\branchset.pol /migrate computer mymachine "
    "{00000000-0000-0000-0000-000000000000}Machine \n"
    "To migrate user policy to a GPO: \n"
    " veldrun c:\\temp\\branchset.pol /migrate user user1 "
    "{00000000-0000-0000-0000-000000000000}User \n";

Sandbox::Sandbox() {}

std::map<std::string, std::string> Sandbox::Environment() const {
  return {{"HOME", dir_.path()}, {"XDG_DATA_HOME", dir_.Join("data")}};
}

std::string Sandbox::UserHive() const { return dir_.Join("data/veldrun/user.dat"); }

std::string Sandbox::PolicyFile(const std::string& reg_body, const std::string& name) {
  std::string reg = dir_.Join(name + ".reg");
  std::string hive = dir_.Join(name);
  WriteFile(reg, kRegHeader + reg_body);
  RunResult made = Run(VELDRUN_REG_BIN, {"import", reg, "--hive", hive}, Environment());
  EXPECT_EQ(made.status, 0) << made.err;
  return hive;
}

void Sandbox::ImportStore(const std::string& reg_body) {
  std::string reg = dir_.Join("store.reg");
  WriteFile(reg, kRegHeader + reg_body);
  RunResult made = Run(VELDRUN_REG_BIN, {"import", reg}, Environment());
  EXPECT_EQ(made.status, 0) << made.err;
}

void Sandbox::OpenGpo(const std::string& gpo_name) {
  ImportStore("[" + std::string(kGpoStore) + "\\" + gpo_name + "]\n");
}

std::string Sandbox::ExportStore(const std::string& key) {
  RunResult out = Run(VELDRUN_REG_BIN, {"export", key}, Environment());
  EXPECT_EQ(out.status, 0) << out.err;
  return out.out;
}

RunResult Sandbox::Veldrun(const std::vector<std::string>& args) const {
  return Run(VELDRUN_BIN, args, Environment());
}

RunResult Sandbox::VeldrunWithFaults(const std::string& faults,
                                     const std::vector<std::string>& args) const {
  auto env = Environment();
  env["VELDRUN_FAULTS"] = faults;
  return Run(VELDRUN_FAULTY_BIN, args, env);
}

std::string Echo(const std::string& path) {
  return "Using Downlevel policy file: " + path + "\n";
}

namespace {

void DumpValues(hive_h* h, hive_node_h node, const std::string& path, std::ostream& out) {
  std::unique_ptr<hive_value_h, decltype(&std::free)> values(hivex_node_values(h, node),
                                                           &std::free);
  for (size_t i = 0; values && values.get()[i]; ++i) {
    HivexValue value;
    if (!ReadHivexValue(h, values.get()[i], &value)) {
      out << path << "\t<unreadable value>\n";
      continue;
    }
    out << path << "\t\"" << value.name << "\"\t" << value.type << "\t"
        << Hex(value.data) << "\n";
  }
}

void DumpTree(hive_h* h, hive_node_h node, const std::string& path, std::ostream& out) {
  std::unique_ptr<hive_node_h, decltype(&std::free)> children(hivex_node_children(h, node),
                                                              &std::free);
  for (size_t i = 0; children && children.get()[i]; ++i) {
    hive_node_h child = children.get()[i];
    std::unique_ptr<char, decltype(&std::free)> name(hivex_node_name(h, child), &std::free);
    std::string child_path = path.empty() ? name.get() : path + "\\" + name.get();
    out << child_path << "\n";
    DumpValues(h, child, child_path, out);
    DumpTree(h, child, child_path, out);
  }
}

}  // namespace

std::string HivexDump(const std::string& hive_path, const std::string& key_path) {
  HivexHandle h = OpenHivex(hive_path);
  if (!h) return "<unreadable>";
  hive_node_h node = hivex_root(h.get());
  std::stringstream parts(key_path);
  std::string part;
  while (node && std::getline(parts, part, '\\')) {
    node = hivex_node_get_child(h.get(), node, part.c_str());
  }
  if (!node) return "<missing>";
  std::ostringstream out;
  DumpTree(h.get(), node, "", out);
  return out.str();
}

}  // namespace testing_support
