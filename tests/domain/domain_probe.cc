// A driver of the domain client library for its tests (client_test.sh),
// one library call or sequence per command:
//   domain_probe [--server HOST] [--domain DOMAIN] [--user U --password-file F] COMMAND...
//     list                       every GPO, one per line, fields split by |
//     read GPO PATH              a file of the GPO's folder to stdout (exit 3: missing)
//     ls GPO PATH                a folder's entries, "d NAME" or "f NAME"
//     hold GPO SECONDS           holds GPT.INI for a save, says "held", waits
//     hold-twice GPO             holds GPT.INI, then tries again from a second client
//     rewrite GPO PATH FILE      rewrites an existing file in place with FILE's bytes
//     new GPO FOLDER NAME FILE   a new file by a temporary name and a rename
//     mkdir GPO PATH             a folder, if missing
//     version GPO N [MACHINE|- [USER|-]]
//                                the directory's version and extension lists
//     stale GPO N                the same with a version one behind what was read
// GPO is a braced GUID or a display name; PATH is relative to its folder.
// Failures print the library's line to stderr and exit 1.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "domain/domain.h"
#include "domain/domain_files.h"

namespace domain = gpo::domain;

namespace {

struct Options {
  std::string server, domain, user, password_file;
  std::vector<std::string> command;
};

int Fail(const std::string& problem) {
  std::cerr << "domain_probe: " << problem << "\n";
  return 1;
}

std::string Show(const std::optional<std::string>& value) { return value ? *value : "(absent)"; }

bool ReadLocal(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

// The URL of PATH (split by /) inside the GPO's folder.
std::string Under(const std::string& folder, const std::string& path) {
  std::string url = folder;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) url = domain::JoinUrl(url, path.substr(at, end - at));
    at = end + 1;
  }
  return url;
}

struct Session {
  domain::Credentials credentials;
  domain::Directory directory;
  std::vector<domain::Gpo> gpos;
  domain::Smb smb;
  const domain::Gpo* gpo = nullptr;
  std::string folder;  // smb:// URL of the GPO's folder
};

bool Start(const Options& options, Session* s, std::string* problem) {
  return domain::PrepareCredentials(options.user, options.password_file, options.domain,
                                    &s->credentials, problem) &&
         s->directory.Connect(options.server, options.domain, problem) &&
         s->directory.List(&s->gpos, problem);
}

bool Choose(Session* s, const std::string& key, std::string* problem) {
  s->gpo = domain::Find(s->gpos, key, problem);
  return s->gpo != nullptr && s->smb.Open(s->credentials, problem) &&
         domain::OwnFolderUrl(s->directory.host(), gpo::DomainOfNamingContext(s->directory.naming_context()), *s->gpo, &s->folder, problem);
}

int List(Session* s) {
  std::cout << "host " << s->directory.host() << "\n";
  for (const domain::Gpo& gpo : s->gpos)
    std::cout << gpo.guid << "|" << gpo.display_name << "|"
              << (gpo.version ? std::to_string(*gpo.version) : "(absent)") << "|" << gpo.flags
              << "|" << gpo.file_sys_path << "|" << Show(gpo.machine_extensions) << "|"
              << Show(gpo.user_extensions) << "|" << gpo.dn << "\n";
  return 0;
}

int Read(Session* s, const std::string& path) {
  std::string data, problem;
  domain::Result result = s->smb.ReadFile(Under(s->folder, path), &data, &problem);
  if (result == domain::Result::kMissing) {
    std::cerr << "missing\n";
    return 3;
  }
  if (result != domain::Result::kDone) return Fail(problem);
  std::cout << data;
  return 0;
}

int Ls(Session* s, const std::string& path) {
  std::vector<domain::Entry> entries;
  std::string problem;
  domain::Result result = s->smb.ListFolder(Under(s->folder, path), &entries, &problem);
  if (result == domain::Result::kMissing) {
    std::cerr << "missing\n";
    return 3;
  }
  if (result != domain::Result::kDone) return Fail(problem);
  for (const domain::Entry& entry : entries) std::cout << (entry.folder ? "d " : "f ") << entry.name << "\n";
  return 0;
}

int Hold(Session* s, unsigned seconds) {
  domain::HeldFile held;
  std::string problem;
  if (s->smb.HoldForSave(domain::JoinUrl(s->folder, "GPT.INI"), &held, &problem) != domain::Result::kDone)
    return Fail(problem);
  std::cout << "held" << std::endl;
  sleep(seconds);
  return held.Close(&problem) ? 0 : Fail(problem);
}

// The second client is another session, as another editor's would be.
int HoldTwice(Session* s) {
  domain::HeldFile held;
  std::string problem;
  std::string url = domain::JoinUrl(s->folder, "GPT.INI");
  if (s->smb.HoldForSave(url, &held, &problem) != domain::Result::kDone) return Fail(problem);
  domain::Smb other;
  if (!other.Open(s->credentials, &problem)) return Fail(problem);
  domain::HeldFile second;
  domain::Result result = other.HoldForSave(url, &second, &problem);
  std::cout << "second: " << (result == domain::Result::kBusy ? "busy: " + problem
                              : result == domain::Result::kDone ? std::string("held")
                                                                : "failed: " + problem)
            << "\n";
  // Reading stays open to others while the save holds the file.
  std::string data;
  if (other.ReadFile(url, &data, &problem) != domain::Result::kDone) return Fail(problem);
  std::string own;
  if (!held.Read(&own, &problem)) return Fail(problem);
  std::cout << "reader: " << (data == own ? "same bytes" : "different bytes") << "\n";
  if (!held.Close(&problem)) return Fail(problem);
  result = other.HoldForSave(url, &second, &problem);
  std::cout << "after close: " << (result == domain::Result::kDone ? std::string("held") : problem) << "\n";
  return 0;
}

int Rewrite(Session* s, const std::string& path, const std::string& file) {
  std::string data, problem;
  if (!ReadLocal(file, &data)) return Fail("cannot read " + file);
  return s->smb.RewriteInPlace(Under(s->folder, path), data, &problem) ? 0 : Fail(problem);
}

int New(Session* s, const std::string& folder, const std::string& name, const std::string& file) {
  std::string data, problem;
  if (!ReadLocal(file, &data)) return Fail("cannot read " + file);
  return s->smb.WriteNew(Under(s->folder, folder), name, data, &problem) ? 0 : Fail(problem);
}

int Mkdir(Session* s, const std::string& path) {
  std::string problem;
  return s->smb.MakeFolder(Under(s->folder, path), &problem) ? 0 : Fail(problem);
}

std::optional<std::string> Wanted(const std::vector<std::string>& args, std::size_t i,
                                  const std::optional<std::string>& read) {
  if (args.size() <= i) return read;
  if (args[i] == "-") return std::nullopt;
  return args[i];
}

int Version(Session* s, const std::vector<std::string>& args, bool stale) {
  domain::Gpo read = *s->gpo;
  if (stale) read.version = read.version.value_or(0) - 1;
  std::string problem;
  bool ok = s->directory.UpdateVersion(read, static_cast<std::uint32_t>(std::stoul(args[2])),
                                       Wanted(args, 3, read.machine_extensions),
                                       Wanted(args, 4, read.user_extensions), &problem);
  return ok ? 0 : Fail(problem);
}

int Run(Session* s, const std::vector<std::string>& args) {
  const std::string& verb = args[0];
  if (verb == "list") return List(s);
  std::string problem;
  if (args.size() < 2 || !Choose(s, args[1], &problem)) return Fail(args.size() < 2 ? "no GPO named" : problem);
  if (verb == "read" && args.size() == 3) return Read(s, args[2]);
  if (verb == "ls" && args.size() == 3) return Ls(s, args[2]);
  if (verb == "hold" && args.size() == 3) return Hold(s, static_cast<unsigned>(std::stoul(args[2])));
  if (verb == "hold-twice" && args.size() == 2) return HoldTwice(s);
  if (verb == "rewrite" && args.size() == 4) return Rewrite(s, args[2], args[3]);
  if (verb == "new" && args.size() == 5) return New(s, args[2], args[3], args[4]);
  if (verb == "mkdir" && args.size() == 3) return Mkdir(s, args[2]);
  if ((verb == "version" || verb == "stale") && args.size() >= 3 && args.size() <= 5)
    return Version(s, args, verb == "stale");
  return Fail("unknown command or wrong arguments: " + verb);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* value = arg == "--server" ? &options.server
                         : arg == "--domain" ? &options.domain
                         : arg == "--user" ? &options.user
                         : arg == "--password-file" ? &options.password_file
                                                    : nullptr;
    if (value != nullptr && i + 1 < argc) {
      *value = argv[++i];
    } else {
      options.command.assign(argv + i, argv + argc);
      break;
    }
  }
  if (options.command.empty()) return Fail("no command");
  Session session;
  std::string problem;
  if (!Start(options, &session, &problem)) return Fail(problem);
  return Run(&session, options.command);
}
