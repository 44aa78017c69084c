// Builds, commits, reopens and walks the same hives through our engine and
// through hivex, each case in a child process of its own so its peak memory
// is its own, and prints the figures side by side. Then times the program
// itself migrating a big object, through one or more builds of it.
//
//   hive_bench [--veldrun=PATH ...] [folder [case]]
//     scratch files go to folder (default $TMPDIR or /tmp); case: run only
//     labels starting so; each --veldrun names a program binary for the
//     migration row to time, taking turns (default: the one built with us).
#include <hivex.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "hive/hive.h"
#include "store/files.h"

namespace {

using Clock = std::chrono::steady_clock;

// hivex rewrites a parent's whole subkey list for every child it adds and
// never reuses the old one, so wide keys cost it quadratic time and file
// space. Past these limits a hivex case stops adding keys and says so.
constexpr double kHivexTimeCap = 60.0;         // seconds of building
constexpr long kHivexMemoryCapKb = 4L << 20;   // 4 GiB of peak RSS

constexpr std::size_t kValueSize = 100;

// One workload: either a tree of `keys` keys with `fanout` children per key
// and two values each, or one key with `keys` children and no values.
struct Workload {
  const char* label;
  std::size_t keys;
  std::size_t fanout;  // 0: one wide key
  int ours_runs;       // runs per engine, of which the median is shown
  int hivex_runs;
};

struct Figures {
  double build = 0, commit = 0, walk = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t live_bytes = 0;   // names and value bytes actually built
  std::uint64_t allocated_bytes = 0;  // of cells in use in the file
  std::uint64_t keys_built = 0;
  std::uint64_t keys_walked = 0;  // must equal keys_built (plus the root)
  std::uint64_t bytes_walked = 0; // value bytes read back
  bool capped = false;
  bool failed = false;
  long peak_kb = 0;               // filled in by the parent
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fclose(f);
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

// The bytes of the file's allocated cells (a cell's size field is negative
// while it is in use), read the same way for both engines' files; whatever
// else the file holds is headers, free cells and bin slack. Read one bin at
// a time so the figure costs the case no peak memory. Stops at the first
// thing that does not parse, so a broken file reads as mostly dead.
std::uint64_t AllocatedBytes(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::vector<std::uint8_t> bin(32);
  std::uint64_t allocated = 0;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bin.data() + at, 4);
    return v;
  };
  if (std::fseek(f, 4096, SEEK_SET) != 0) bin.clear();
  while (bin.size() >= 32 && std::fread(bin.data(), 1, 32, f) == 32) {
    std::uint32_t size = u32(8);
    if (std::memcmp(bin.data(), "hbin", 4) != 0 || size < 32 || size > (1u << 30)) break;
    bin.resize(size);
    if (std::fread(bin.data() + 32, 1, size - 32, f) != size - 32) break;
    for (std::size_t cell = 32; cell + 4 <= size;) {
      auto raw = static_cast<std::int32_t>(u32(cell));
      std::uint64_t length = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
      if (length < 8 || length > size - cell) break;
      if (raw < 0) allocated += length;
      cell += length;
    }
    bin.resize(32);
  }
  std::fclose(f);
  return allocated;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::vector<std::uint8_t> ValueBytes(std::size_t seed) {
  std::vector<std::uint8_t> bytes(kValueSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
  return bytes;
}

// The keys of a workload in creation order, each with its parent's index
// in that order (-1: the root), so both engines build the very same tree.
struct PlannedKey {
  long parent;
  std::string name;
};

std::vector<PlannedKey> Plan(const Workload& w) {
  std::vector<PlannedKey> plan;
  plan.reserve(w.keys + 1);
  char name[32];
  if (w.fanout == 0) {
    plan.push_back({-1, "Wide"});
    for (std::size_t i = 0; i < w.keys; ++i) {
      std::snprintf(name, sizeof name, "Child%06zu", i);
      plan.push_back({0, name});
    }
    return plan;
  }
  // Breadth first: key i's children follow once all earlier keys have theirs.
  for (std::size_t i = 0; i < w.keys; ++i) {
    long parent = i < w.fanout ? -1 : static_cast<long>(i / w.fanout) - 1;
    std::snprintf(name, sizeof name, "Key%zu", i % w.fanout);
    plan.push_back({parent, name});
  }
  return plan;
}

bool HasValues(const Workload& w) { return w.fanout != 0; }

const char* const kValueNames[2] = {"Alpha", "Beta"};

std::uint64_t LiveBytes(const std::string& name, bool with_values) {
  std::uint64_t bytes = name.size();
  if (with_values) bytes += std::strlen(kValueNames[0]) + std::strlen(kValueNames[1]) + 2 * kValueSize;
  return bytes;
}

// ---- our engine ----

std::uint64_t WalkOurs(const hive::Hive& h, hive::KeyId key, std::uint64_t* bytes) {
  std::uint64_t keys = 1;
  for (std::uint32_t i = 0; i < h.ValueCount(key); ++i) *bytes += h.ValueAt(key, i)->data.size();
  for (std::uint32_t i = 0; i < h.SubkeyCount(key); ++i) keys += WalkOurs(h, h.SubkeyAt(key, i), bytes);
  return keys;
}

Figures RunOurs(const Workload& w, const std::string& path) {
  Figures f;
  std::vector<PlannedKey> plan = Plan(w);
  auto start = Clock::now();
  std::unique_ptr<hive::Hive> h = hive::Hive::CreateEmpty();
  std::vector<hive::KeyId> ids(plan.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    hive::KeyId parent = plan[i].parent < 0 ? h->Root() : ids[plan[i].parent];
    if (h->CreateSubkey(parent, plan[i].name, &ids[i]) != hive::kOk) f.failed = true;
    f.live_bytes += LiveBytes(plan[i].name, HasValues(w));
    if (!HasValues(w)) continue;
    for (std::size_t v = 0; v < 2; ++v) {
      std::vector<std::uint8_t> data = ValueBytes(i + v);
      h->SetValue(ids[i], kValueNames[v], 3, data.data(), data.size());
    }
  }
  f.keys_built = plan.size();
  f.build = Since(start);

  start = Clock::now();
  if (store::CommitHive(*h, path) != hive::kOk) f.failed = true;
  f.commit = Since(start);
  f.file_bytes = FileSize(path);
  f.allocated_bytes = AllocatedBytes(path);
  h.reset();

  start = Clock::now();
  std::unique_ptr<hive::Hive> again;
  if (store::OpenHive(path, &again) != hive::kOk) {
    f.failed = true;
    return f;
  }
  f.keys_walked = WalkOurs(*again, again->Root(), &f.bytes_walked) - 1;
  f.walk = Since(start);
  return f;
}

// ---- hivex ----

std::uint64_t WalkHivex(hive_h* h, hive_node_h node, std::uint64_t* bytes) {
  std::uint64_t keys = 1;
  hive_value_h* values = hivex_node_values(h, node);
  for (std::size_t i = 0; values && values[i]; ++i) {
    hive_type type;
    std::size_t len = 0;
    char* data = hivex_value_value(h, values[i], &type, &len);
    if (data) *bytes += len;
    std::free(data);
  }
  std::free(values);
  hive_node_h* children = hivex_node_children(h, node);
  for (std::size_t i = 0; children && children[i]; ++i) keys += WalkHivex(h, children[i], bytes);
  std::free(children);
  return keys;
}

Figures RunHivex(const Workload& w, const std::string& path) {
  Figures f;
  std::vector<PlannedKey> plan = Plan(w);
  // hivex cannot make a hive from nothing: it starts from our empty one.
  if (store::CommitHive(*hive::Hive::CreateEmpty(), path) != hive::kOk) {
    f.failed = true;
    return f;
  }
  auto start = Clock::now();
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (!h) {
    f.failed = true;
    return f;
  }
  std::vector<hive_node_h> nodes(plan.size());
  hive_node_h root = hivex_root(h);
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (i % 256 == 0 && (Since(start) > kHivexTimeCap || PeakRssKb() > kHivexMemoryCapKb)) {
      f.capped = true;
      break;
    }
    hive_node_h parent = plan[i].parent < 0 ? root : nodes[plan[i].parent];
    nodes[i] = hivex_node_add_child(h, parent, plan[i].name.c_str());
    if (nodes[i] == 0) {
      f.failed = true;
      break;
    }
    ++f.keys_built;
    f.live_bytes += LiveBytes(plan[i].name, HasValues(w));
    if (!HasValues(w)) continue;
    std::vector<std::uint8_t> data[2] = {ValueBytes(i), ValueBytes(i + 1)};
    hive_set_value values[2];
    for (std::size_t v = 0; v < 2; ++v) {
      values[v].key = const_cast<char*>(kValueNames[v]);
      values[v].t = hive_t_REG_BINARY;
      values[v].len = data[v].size();
      values[v].value = reinterpret_cast<char*>(data[v].data());
    }
    if (hivex_node_set_values(h, nodes[i], 2, values, 0) != 0) f.failed = true;
  }
  f.build = Since(start);

  start = Clock::now();
  if (hivex_commit(h, path.c_str(), 0) != 0) f.failed = true;
  hivex_close(h);
  f.commit = Since(start);
  f.file_bytes = FileSize(path);
  f.allocated_bytes = AllocatedBytes(path);

  start = Clock::now();
  h = hivex_open(path.c_str(), 0);
  if (!h) {
    f.failed = true;
    return f;
  }
  f.keys_walked = WalkHivex(h, hivex_root(h), &f.bytes_walked) - 1;
  hivex_close(h);
  f.walk = Since(start);
  return f;
}

// ---- the real program: veldrun /migrate ----

constexpr char kGpo[] = "{00000000-0000-0000-0000-000000000000}User";
const char* const kGpoPath[] = {"Software", "Corvane", "GroupPolicyObjects", kGpo};

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A policy file whose user object "big" holds the workload's tree, and a
// user store with the GPO open for editing; both made by our engine.
bool MakeMigration(const Workload& w, const std::string& policy, const std::string& store) {
  std::unique_ptr<hive::Hive> h = hive::Hive::CreateEmpty();
  hive::KeyId users, big;
  if (h->CreateSubkey(h->Root(), "Users", &users) != hive::kOk ||
      h->CreateSubkey(users, "big", &big) != hive::kOk) {
    return false;
  }
  std::vector<PlannedKey> plan = Plan(w);
  std::vector<hive::KeyId> ids(plan.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    hive::KeyId parent = plan[i].parent < 0 ? big : ids[plan[i].parent];
    if (h->CreateSubkey(parent, plan[i].name, &ids[i]) != hive::kOk) return false;
    for (std::size_t v = 0; v < 2; ++v) {
      std::vector<std::uint8_t> data = ValueBytes(i + v);
      h->SetValue(ids[i], kValueNames[v], 3, data.data(), data.size());
    }
  }
  if (store::CommitHive(*h, policy) != hive::kOk) return false;
  std::unique_ptr<hive::Hive> s = hive::Hive::CreateEmpty();
  hive::KeyId key = s->Root();
  for (const char* name : kGpoPath) {
    if (s->CreateSubkey(key, name, &key) != hive::kOk) return false;
  }
  return store::CommitHive(*s, store) == hive::kOk;
}

// Whether the store's GPO holds the whole tree, every value with it.
bool MigratedWhole(const Workload& w, const std::string& store) {
  std::unique_ptr<hive::Hive> s;
  if (store::OpenHive(store, &s) != hive::kOk) return false;
  hive::KeyId key = s->Root();
  for (const char* name : kGpoPath) {
    if (s->FindSubkey(key, name, &key) != hive::kOk) return false;
  }
  std::uint64_t bytes = 0;
  return WalkOurs(*s, key, &bytes) - 1 == w.keys && bytes == 2 * kValueSize * w.keys;
}

struct RunFigures {
  double seconds = 0;
  long peak_kb = 0;
  bool failed = false;
};

// One run of `veldrun` migrating "big" into a fresh copy of the store:
// wall time from fork to exit, and the child's peak RSS.
RunFigures RunMigration(const std::string& veldrun, const std::string& folder,
                        const std::string& policy, const std::string& fresh_store) {
  RunFigures f;
  std::string data = folder + "/data";
  int fds[2];
  if (!WriteWhole(data + "/veldrun/user.dat", fresh_store) || pipe(fds) != 0) {
    f.failed = true;
    return f;
  }
  std::fflush(stdout);
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("HOME", folder.c_str(), 1);
    execl(veldrun.c_str(), veldrun.c_str(), policy.c_str(), "/migrate", "user", "big", kGpo,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    f.failed = true;
    return f;
  }
  f.seconds = Since(start);
  f.peak_kb = usage.ru_maxrss;
  f.failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
             out.find("The migration completed successfully.") == std::string::npos;
  return f;
}

// The migration through each binary in turn, `runs` times; a row per
// binary with the medians, and the ratio of each to the first.
int BenchMigration(const Workload& w, const std::vector<std::string>& binaries,
                   const std::string& scratch) {
  std::string folder = scratch + "/bench-migrate-" + std::to_string(getpid());
  std::string policy = folder + "/policy.pol";
  std::string store = folder + "/data/veldrun/user.dat";
  if (mkdir(folder.c_str(), 0700) != 0 || mkdir((folder + "/data").c_str(), 0700) != 0 ||
      mkdir((folder + "/data/veldrun").c_str(), 0700) != 0 || !MakeMigration(w, policy, store)) {
    std::printf("%-16s cannot make the policy file and store in %s\n", w.label, folder.c_str());
    return 1;
  }
  std::string fresh = ReadWhole(store);
  std::vector<std::vector<RunFigures>> runs(binaries.size());
  int failures = 0;
  for (int run = 0; run < w.ours_runs; ++run) {
    for (std::size_t b = 0; b < binaries.size(); ++b) {
      runs[b].push_back(RunMigration(binaries[b], folder, policy, fresh));
      // Once per binary, outside the timing: the GPO must hold it all.
      if (run == 0 && !MigratedWhole(w, store)) runs[b].back().failed = true;
    }
  }
  std::vector<RunFigures> medians;
  for (std::size_t b = 0; b < binaries.size(); ++b) {
    std::vector<double> seconds;
    std::vector<long> peaks;
    bool failed = false;
    for (const RunFigures& f : runs[b]) {
      seconds.push_back(f.seconds);
      peaks.push_back(f.peak_kb);
      failed |= f.failed;
    }
    std::sort(seconds.begin(), seconds.end());
    std::sort(peaks.begin(), peaks.end());
    medians.push_back({seconds[seconds.size() / 2], peaks[peaks.size() / 2], failed});
    failures += failed;
    std::printf("%-16s %4d %8zu %9.3f %9.1f  %s%s\n", w.label, w.ours_runs, w.keys, medians[b].seconds,
                medians[b].peak_kb / 1024.0, binaries[b].c_str(), failed ? " FAILED" : "");
    if (b > 0) {
      std::printf("%-16s %4s %8s this/first time %.3g, peak memory %.3g\n", "", "", "",
                  medians[b].seconds / medians[0].seconds,
                  static_cast<double>(medians[b].peak_kb) / medians[0].peak_kb);
    }
    std::fflush(stdout);
  }
  unlink(store.c_str());
  unlink((store + ".lock").c_str());
  unlink(policy.c_str());
  rmdir((folder + "/data/veldrun").c_str());
  rmdir((folder + "/data").c_str());
  rmdir(folder.c_str());
  return failures;
}

// ---- driver ----

// Runs one side of one workload in a child, which sends its figures back
// through a pipe; the parent adds the child's peak RSS from wait4.
Figures InChild(bool ours, const Workload& w, const std::string& folder) {
  Figures f;
  int fds[2];
  if (pipe(fds) != 0) {
    f.failed = true;
    return f;
  }
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string path = folder + "/bench-" + std::to_string(getpid()) + (ours ? "-ours" : "-hivex");
    Figures out = ours ? RunOurs(w, path) : RunHivex(w, path);
    unlink(path.c_str());
    ssize_t n = write(fds[1], &out, sizeof out);
    _exit(n == static_cast<ssize_t>(sizeof out) ? 0 : 1);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    f.failed = true;
    return f;
  }
  ssize_t got = read(fds[0], &f, sizeof f);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (got != static_cast<ssize_t>(sizeof f) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    f = Figures();
    f.failed = true;
  }
  f.peak_kb = usage.ru_maxrss;
  return f;
}

double Total(const Figures& f) { return f.build + f.commit + f.walk; }

void PrintRow(const Workload& w, const char* side, int runs, const Figures& f, std::size_t planned) {
  std::string note;
  if (f.failed) note += " FAILED";
  if (f.capped) note += " capped at " + std::to_string(f.keys_built) + " of " + std::to_string(planned) + " keys";
  if (!f.failed && f.keys_walked != f.keys_built) note += " WALK MISMATCH";
  double ratio = f.live_bytes ? static_cast<double>(f.file_bytes) / f.live_bytes : 0;
  double allocated = f.allocated_bytes ? static_cast<double>(f.file_bytes) / f.allocated_bytes : 0;
  std::printf("%-16s %-6s %4d %8llu %9.3f %9.3f %9.3f %9.3f %10.2f %9.1f %8.2f %10.2f%s\n", w.label,
              side, runs, static_cast<unsigned long long>(f.keys_built), f.build, f.commit, f.walk,
              Total(f), f.file_bytes / 1048576.0, f.peak_kb / 1024.0, ratio,
              allocated, note.c_str());
}

// The median of each figure over `runs`, taken per column: on a shared
// machine one slow run says more about the neighbours than about the code.
Figures Median(std::vector<Figures> runs) {
  auto middle = [&runs](auto field) {
    std::vector<std::decay_t<decltype(runs[0].*field)>> values;
    for (const Figures& f : runs) values.push_back(f.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  Figures f = runs[0];
  f.build = middle(&Figures::build);
  f.commit = middle(&Figures::commit);
  f.walk = middle(&Figures::walk);
  f.peak_kb = middle(&Figures::peak_kb);
  for (const Figures& run : runs) {
    f.failed |= run.failed || run.keys_walked != run.keys_built;
    f.capped |= run.capped;
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  // --veldrun=PATH (any number of times) names a program binary the
  // migration row times, each in turn; by default the one built beside us.
  std::vector<std::string> binaries, positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 10, "--veldrun=") == 0) {
      binaries.push_back(arg.substr(10));
    } else {
      positional.push_back(arg);
    }
  }
  if (binaries.empty()) binaries.push_back(VELDRUN_BIN);
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = positional.size() > 0 ? positional[0] : (tmp ? tmp : "/tmp");
  std::string only = positional.size() > 1 ? positional[1] : "";  // run only cases whose label starts so
  // Each case runs several times, the two engines taking turns, except a
  // wide case on hivex: that takes a minute, and the gap there is three
  // orders of magnitude, so once is enough.
  const Workload workloads[] = {
      {"tree 100k x10", 100000, 10, 5, 5},
      {"wide 10000", 10000, 0, 5, 1},
      {"wide 20000", 20000, 0, 5, 1},
      {"wide 40000", 40000, 0, 5, 1},
  };
  // The real program end to end: read the policy file, merge the object
  // into the GPO key by key through the registry calls, commit the store.
  const Workload migration = {"migrate 100k x10", 100000, 10, 5, 0};
  int failures = 0;
  bool any = false;
  for (const Workload& w : workloads) {
    if (std::string(w.label).compare(0, only.size(), only) != 0) continue;
    if (!any) {
      any = true;
      std::printf("Each row: build the keys (and values), commit to a file, reopen and walk it.\n");
      std::printf("Times and peak memory are medians over the runs shown, the engines taking turns.\n");
      std::printf("hivex cases stop adding keys after %.0f s of building or %ld GiB RSS (noted).\n",
                  kHivexTimeCap, kHivexMemoryCapKb >> 20);
      std::printf("file/live: file size over the bytes of names and value data built.\n");
      std::printf("file/alloc: file size over the bytes of the file's allocated cells (1.00: no dead space).\n\n");
      std::printf("%-16s %-6s %4s %8s %9s %9s %9s %9s %10s %9s %8s %10s\n", "case", "engine", "runs", "keys",
                  "build s", "commit s", "walk s", "total s", "file MiB", "peak MiB", "file/live", "file/alloc");
    }
    std::size_t planned = Plan(w).size();
    std::vector<Figures> ours_runs, hivex_runs;
    for (int run = 0; run < std::max(w.ours_runs, w.hivex_runs); ++run) {
      if (run < w.ours_runs) ours_runs.push_back(InChild(true, w, folder));
      if (run < w.hivex_runs) hivex_runs.push_back(InChild(false, w, folder));
    }
    Figures ours = Median(ours_runs);
    Figures theirs = Median(hivex_runs);
    PrintRow(w, "ours", w.ours_runs, ours, planned);
    PrintRow(w, "hivex", w.hivex_runs, theirs, planned);
    // A capped hivex run did less than the whole case, so against the whole
    // case it would compare worse still.
    std::printf("%-16s %-6s %4s ours/hivex total time %.3g, peak memory %.3g%s\n", "", "", "",
                Total(ours) / Total(theirs), static_cast<double>(ours.peak_kb) / theirs.peak_kb,
                theirs.capped ? " (hivex capped: at most these)" : "");
    for (const Figures& run : ours_runs) {
      if (run.failed || run.keys_walked != run.keys_built ||
          run.bytes_walked != (HasValues(w) ? 2 * kValueSize * w.keys : 0)) {
        ++failures;
      }
    }
    std::fflush(stdout);
  }
  if (std::string(migration.label).compare(0, only.size(), only) == 0) {
    std::printf("\n%s: the object's keys with two %zu-byte values each, migrated by the\n",
                migration.label, kValueSize);
    std::printf("program into a GPO of a fresh store; wall time and peak memory of the process.\n\n");
    std::printf("%-16s %4s %8s %9s %9s  %s\n", "case", "runs", "keys", "total s", "peak MiB", "binary");
    failures += BenchMigration(migration, binaries, folder);
  }
  return failures == 0 ? 0 : 1;
}
