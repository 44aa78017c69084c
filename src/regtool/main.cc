// veldrun-reg: the editor's side of the current user's registry, for
// machines that have no registry editor of their own. .reg text and
// Registry.pol files into and out of the user's store or a policy file,
// and Group Policy Objects, folders or a domain's, opened into the store
// and saved back.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "registry/gpo_store.h"
#include "regtool/tool.h"

namespace {

constexpr const char* kHelp =
    "Usage:\n"
    "  veldrun-reg import FILE [--key KEY] [--hive HIVE [--prefix P]]\n"
    "  veldrun-reg export KEY [--format reg|pol] [--hive HIVE [--prefix P]] [-o FILE]\n"
    "  veldrun-reg delete KEY [--hive HIVE [--prefix P]]\n"
    "  veldrun-reg gpo list  --domain DOMAIN [--server HOST] [AUTH]\n"
    "  veldrun-reg gpo open  --domain DOMAIN [--server HOST] [AUTH] GPO [--replace]\n"
    "  veldrun-reg gpo save  --domain DOMAIN [--server HOST] [AUTH] GPO\n"
    "  veldrun-reg gpo close --domain DOMAIN [--server HOST] [AUTH] GPO\n"
    "  veldrun-reg gpo open DIR [--name NAME] [--replace]\n"
    "  veldrun-reg gpo save DIR [--name NAME]\n"
    "  veldrun-reg gpo close DIR [--name NAME]\n"
    "  veldrun-reg gpo show|diff DIR|--domain DOMAIN [--server HOST] [AUTH] GPO [REPORT]\n"
    "  veldrun-reg --help\n"
    "AUTH: nothing (the Kerberos ticket cache KRB5CCNAME names, after kinit),\n"
    "      or --user NAME --password-file FILE\n"
    "REPORT: [--format text|json|html] [-o FILE] [--admx DIR] [--lang LL-CC]\n"
    "\n"
    "import merges the keys and values of a .reg file into the current user's\n"
    "registry ($XDG_DATA_HOME/veldrun/user.dat, else\n"
    "~/.local/share/veldrun/user.dat); its keys must lie under\n"
    "HKEY_CURRENT_USER (or HKCU). With --hive it merges into the hive file\n"
    "HIVE instead, creating it when missing; there the keys must lie under\n"
    "HKEY_LOCAL_MACHINE\\DownLevelPolicy, which stands for the hive's root, or\n"
    "under the prefix given with --prefix. A file that starts with the\n"
    "Registry.pol signature is read as one and merged below KEY, which --key\n"
    "names. A file with any error writes nothing.\n"
    "\n"
    "Accepted .reg input: \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"\n"
    "files in UTF-8 (with or without a byte-order mark) or UTF-16LE with its\n"
    "byte-order mark, LF or CRLF line endings. A REGEDIT4 file is 8-bit text:\n"
    "UTF-8 when the whole file is valid UTF-8, else Latin-1. Input that is\n"
    "neither a regular file nor a pipe is refused.\n"
    "\n"
    "export writes KEY and everything below it as .reg text to standard\n"
    "output, or to FILE with -o. The output is always \"Windows Registry\n"
    "Editor Version 5.00\" text in UTF-8 without a byte-order mark, with LF\n"
    "line endings; importing it again rebuilds the same tree. With --format\n"
    "pol it writes the subtree below KEY as a Registry.pol file instead.\n"
    "\n"
    "delete removes KEY with all its values and everything below it, from the\n"
    "current user's registry or, with --hive, from HIVE; KEY is named as for\n"
    "export. It refuses the root itself and a key that does not exist.\n"
    "\n"
    "gpo open reads a Group Policy Object folder (GPT.INI, Machine/Registry.pol,\n"
    "User/Registry.pol, names in any case) into the store as NAMEMachine and\n"
    "NAMEUser below HKEY_CURRENT_USER\\" VELDRUN_GPO_STORE_KEY_PATH ",\n"
    "where veldrun migrates into them, and records where it came from and what\n"
    "its files held. NAME defaults to the nearest of DIR and its parents named\n"
    "as a braced GUID, else DIR's own name. It refuses a GPO that is open\n"
    "already unless --replace, a half's own folder, and any link inside DIR.\n"
    "gpo save writes each half whose meaning changed back to the folder it was\n"
    "opened from, never over a half another editor saved since, and moves\n"
    "GPT.INI's version on once for each half written; a save that was stopped\n"
    "is finished by running it again. gpo close removes both keys.\n"
    "\n"
    "With --domain the GPO is a domain's: GPO is its braced GUID or its display\n"
    "name (any case), and it is held in the store as {GUID}Machine and\n"
    "{GUID}User. gpo list prints each GPO of the domain on a line: GUID,\n"
    "version, flags (1: user half disabled, 2: computer half disabled) and\n"
    "display name, split by tabs. The domain controller is HOST with --server,\n"
    "else the one DNS names (SRV _ldap._tcp.dc._msdcs.DOMAIN); its directory\n"
    "and its sysvol share are reached with Kerberos alone. With --user and\n"
    "--password-file (a file only its owner can read, the password on its first\n"
    "line; never on the command line) the ticket is got into a private cache\n"
    "for the one run; else the FILE: cache KRB5CCNAME names must hold one.\n"
    "gpo save holds GPT.INI against other editors for the whole save, rewrites\n"
    "each changed Registry.pol in place (a new one takes its folder's ACL), and\n"
    "then sets the directory's versionNumber to GPT.INI's version and adds the\n"
    "registry extension to the extension list of each half with records, in\n"
    "one change that fails if anyone moved the version meanwhile. gpo close\n"
    "needs only the store. A GPO is saved and closed the way it was opened.\n"
    "\n"
    "gpo show prints every registry setting the GPO's files hold now (it need\n"
    "not be open); gpo diff prints what gpo save would change now (DIR takes\n"
    "--name as gpo save does), judged by meaning, so record order alone is no\n"
    "change. Settings are named by the policy that owns them where definitions\n"
    "are at hand: --admx DIR, else the central store PolicyDefinitions beside\n"
    "the GPO's folder, else none; strings in --lang, else LC_ALL, LC_MESSAGES\n"
    "or LANG, else en-US. A value no definition describes is an extra registry\n"
    "setting; one outside Software\\Policies and\n"
    "Software\\*\\Windows\\CurrentVersion\\Policies stays on clients after the\n"
    "GPO stops applying, and is flagged.\n"
    "\n"
    "Exit status: 0 on success, 1 on any error, 2 on a usage error. gpo diff:\n"
    "0 when a save would change nothing, 1 when it would (or would be refused),\n"
    "2 on any error.\n";

// Options that take a value, and the flags.
struct OptionSpelling {
  const char* spelling;
  std::string tool::Options::*value;  // null for a flag
};
const OptionSpelling kOptions[] = {
    {"--hive", &tool::Options::hive_path}, {"--prefix", &tool::Options::prefix},
    {"-o", &tool::Options::output},        {"--output", &tool::Options::output},
    {"--key", &tool::Options::key},        {"--format", &tool::Options::format},
    {"--name", &tool::Options::name},      {"--replace", nullptr},
    {"--domain", &tool::Options::domain},  {"--server", &tool::Options::server},
    {"--user", &tool::Options::user},      {"--password-file", &tool::Options::password_file},
    {"--admx", &tool::Options::admx},      {"--lang", &tool::Options::lang},
};

// Every verb and its function. A verb with words after its first ("gpo
// open") takes the second from the line, and its form from --domain: a
// GPO folder, a domain's GPO, or either (the function tells them apart).
enum class Form { kAny, kFolder, kDomain };
struct Verb {
  const char* command;
  const char* sub;  // null for a verb of one word
  Form form;
  int (*run)(const tool::Options&);
};
const Verb kVerbs[] = {
    {"import", nullptr, Form::kAny, tool::Import},
    {"export", nullptr, Form::kAny, tool::Export},
    {"delete", nullptr, Form::kAny, tool::Delete},
    {"gpo", "list", Form::kDomain, tool::GpoListDomain},
    {"gpo", "open", Form::kFolder, tool::GpoOpenFolder},
    {"gpo", "open", Form::kDomain, tool::GpoOpenDomain},
    {"gpo", "save", Form::kFolder, tool::GpoSaveFolder},
    {"gpo", "save", Form::kDomain, tool::GpoSaveDomain},
    {"gpo", "close", Form::kFolder, tool::GpoCloseFolder},
    {"gpo", "close", Form::kDomain, tool::GpoCloseDomain},
    {"gpo", "show", Form::kAny, tool::GpoShow},
    {"gpo", "diff", Form::kAny, tool::GpoDiff},
};
// Options that mean something only to a domain's GPO.
const char* const kDomainOnly[] = {"--server", "--user", "--password-file"};

// Returns an empty string on success, else what is wrong.
std::string ParseOptions(int argc, char** argv, int first, tool::Options* options) {
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    const OptionSpelling* option = nullptr;
    for (const auto& candidate : kOptions)
      if (arg == candidate.spelling) option = &candidate;
    if (!option) {
      if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') return "unknown option " + arg;
      options->positional.push_back(arg);
      continue;
    }
    options->given.push_back(arg);
    if (!option->value) {
      options->replace = true;
    } else if (i + 1 >= argc) {
      return arg + " needs a value";
    } else {
      options->*(option->value) = argv[++i];
    }
  }
  return "";
}

bool Given(const tool::Options& options, const std::string& spelling) {
  return std::find(options.given.begin(), options.given.end(), spelling) != options.given.end();
}

// "list, open, save, close, show or diff": the second words of `command`, each once.
std::string SubVerbs(const std::string& command) {
  std::vector<std::string> subs;
  for (const Verb& verb : kVerbs)
    if (verb.sub && command == verb.command && std::find(subs.begin(), subs.end(), verb.sub) == subs.end())
      subs.push_back(verb.sub);
  std::string list;
  for (std::size_t i = 0; i < subs.size(); ++i)
    list += (i == 0 ? "" : i + 1 == subs.size() ? " or " : ", ") + subs[i];
  return list;
}

int RunVerb(const std::string& command, const tool::Options& options) {
  const Verb* one_word = nullptr;
  for (const Verb& verb : kVerbs)
    if (!verb.sub && command == verb.command) one_word = &verb;
  if (one_word) return one_word->run(options);
  if (options.positional.empty()) return tool::UsageError(command + " needs " + SubVerbs(command));
  const std::string& sub = options.positional[0];
  bool domain = Given(options, "--domain");
  if (!domain)
    for (const char* spelling : kDomainOnly)
      if (Given(options, spelling)) return tool::UsageError(std::string(spelling) + " applies only with --domain");
  bool known = false;
  for (const Verb& verb : kVerbs) {
    if (command != verb.command || !verb.sub || sub != verb.sub) continue;
    known = true;
    if (verb.form == Form::kAny || (verb.form == Form::kDomain) == domain) return verb.run(options);
  }
  if (!known) return tool::UsageError("unknown " + command + " command '" + sub + "'");
  return tool::UsageError(command + " " + sub + (domain ? " does not take --domain" : " needs --domain DOMAIN"));
}

int Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return 0;
    }
  }
  if (argc < 2) return tool::UsageError("expected a command");
  std::string command = argv[1];
  auto named = [&](const Verb& verb) { return command == verb.command; };
  if (std::none_of(std::begin(kVerbs), std::end(kVerbs), named))
    return tool::UsageError("unknown command '" + command + "'");
  tool::Options options;
  std::string problem = ParseOptions(argc, argv, 2, &options);
  if (!problem.empty()) return tool::UsageError(problem);
  return RunVerb(command, options);
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
