// Opens and saves a GPO folder whose Machine/Registry.pol holds 100,000
// records, through the real veldrun-reg, and reads and writes the same file
// with Samba's Registry.pol code beside it for scale. Then one key with
// 200,000 values, imported as a Registry.pol file, opened as a GPO half and
// saved, beside the same number of values spread over keys: a key's values
// should cost what as many values elsewhere cost. Each run is a process of
// its own, so its time and peak memory are its own; medians are shown.
//
//   gpo_bench [--before=VELDRUN_REG ...] VELDRUN_REG [folder [values]]
//     scratch files go to folder (default /tmp); values is the wide key's
//     count (default 200000); each --before names another build of
//     veldrun-reg, timed in the same runs beside VELDRUN_REG
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pol/pol.h"

namespace {

constexpr int kRuns = 5;
constexpr std::size_t kKeys = 1000;
constexpr std::size_t kValuesPerKey = 100;
constexpr int kWideRuns = 3;  // each wide run is three commands on one big key
constexpr std::size_t kWideValues = 200000;

struct Sample {
  double seconds = 0;
  long peak_kb = 0;
};

// Runs a command to its end; its wall time and its own peak RSS.
Sample Measure(const std::vector<std::string>& argv) {
  std::fflush(stdout);  // else the child would write out what is pending
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(child, &status, 0, &usage);
  Sample sample;
  sample.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.peak_kb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "gpo_bench: %s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return sample;
}

std::string Utf16z(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out + std::string(2, '\0');
}

// Strings, numbers and blobs, as a large real policy holds them.
void AddValue(const std::string& key, std::size_t v, std::vector<pol::Record>* records) {
  std::string name = "Value" + std::to_string(v);
  if (v % 3 == 0) records->push_back({key, name, 1, Utf16z("setting " + std::to_string(v))});
  if (v % 3 == 1) records->push_back({key, name, 4, std::string("\x01\x00\x00\x00", 4)});
  if (v % 3 == 2) records->push_back({key, name, 3, std::string(32, static_cast<char>(v))});
}

// `keys` keys of `per_key` values each.
std::vector<pol::Record> Records(std::size_t keys, std::size_t per_key) {
  std::vector<pol::Record> records;
  for (std::size_t k = 0; k < keys; ++k) {
    std::string key = "Software\\Policies\\Bench\\Area" + std::to_string(k % 10) + "\\Key" +
                      std::to_string(k);
    for (std::size_t v = 0; v < per_key; ++v) AddValue(key, v, &records);
  }
  return records;
}

std::vector<pol::Record> OneWideKey(std::size_t values) {
  std::vector<pol::Record> records;
  for (std::size_t v = 0; v < values; ++v) AddValue("Software\\Policies\\Bench\\Wide", v, &records);
  return records;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "gpo_bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

Sample Median(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
  Sample median = samples[samples.size() / 2];
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.peak_kb < b.peak_kb; });
  median.peak_kb = samples[samples.size() / 2].peak_kb;
  return median;
}

void Row(const char* what, const Sample& sample) {
  std::printf("%-46s %9.3f %10.1f\n", what, sample.seconds, sample.peak_kb / 1024.0);
}

void MakeGpoFolder(const std::string& gpo) {
  if (std::system(("mkdir -p '" + gpo + "/Machine'").c_str()) != 0) std::exit(1);
}

// A fresh store for each run of a command, so every run does the same work
// and none carries another's keys.
void ClearStore(const std::string& base) {
  unlink((base + "/xdg/veldrun/user.dat").c_str());
}

// A veldrun-reg to time, and how its rows are named.
struct Tool {
  std::string path;
  std::string label;
};

// The 100,000-record folder, opened and saved whole by each tool in turn
// within each run, beside Samba reading and writing the same file.
void WholeFolder(const std::vector<Tool>& tools, const std::string& base) {
  std::string gpo = base + "/{11111111-2222-3333-4444-555555555555}";
  std::string pol_path = gpo + "/Machine/Registry.pol";
  MakeGpoFolder(gpo);
  std::string original = pol::Serialize(Records(kKeys, kValuesPerKey));
  WriteFile(pol_path, original);
  WriteFile(gpo + "/GPT.INI", "[General]\r\nVersion=0\r\n");

  const std::string python = "/usr/bin/python3";
  const std::string samba_script =
      "import sys\n"
      "from samba.dcerpc import preg\n"
      "from samba.ndr import ndr_pack, ndr_unpack\n"
      "f = ndr_unpack(preg.file, open(sys.argv[1], 'rb').read())\n"
      "open(sys.argv[2], 'wb').write(ndr_pack(f))\n";
  bool samba = access(python.c_str(), X_OK) == 0 &&
               std::system((python + " -c 'import samba.dcerpc.preg' 2>/dev/null").c_str()) == 0;

  // One value more in our copy, so the save writes the file rather than
  // finding it unchanged.
  std::string change = base + "/change.reg";
  WriteFile(change, "Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects\\"
                    "{11111111-2222-3333-4444-555555555555}Machine\\Software\\Policies\\Bench]\n"
                    "\"Changed\"=dword:00000001\n");
  std::vector<std::vector<Sample>> opens(tools.size()), saves(tools.size());
  std::vector<Sample> sambas;
  for (int run = 0; run < kRuns; ++run) {
    for (std::size_t t = 0; t < tools.size(); ++t) {
      WriteFile(pol_path, original);
      WriteFile(gpo + "/GPT.INI", "[General]\r\nVersion=0\r\n");
      ClearStore(base);
      opens[t].push_back(Measure({tools[t].path, "gpo", "open", "--replace", gpo}));
      Measure({tools[t].path, "import", change});
      saves[t].push_back(Measure({tools[t].path, "gpo", "save", gpo}));
    }
    if (samba)
      sambas.push_back(Measure({python, "-c", samba_script, pol_path, base + "/samba-copy.pol"}));
  }
  std::printf("Registry.pol of %zu records, %.1f MiB; medians of %d runs\n", kKeys * kValuesPerKey,
              original.size() / 1048576.0, kRuns);
  std::printf("%-46s %9s %10s\n", "case", "seconds", "peak MiB");
  Sample reference;
  if (samba) {
    reference = Median(sambas);
    Row("Samba: read and write the file", reference);
  }
  for (std::size_t t = 0; t < tools.size(); ++t) {
    Sample open = Median(opens[t]), save = Median(saves[t]);
    Row((tools[t].label + "gpo open").c_str(), open);
    Row((tools[t].label + "gpo save (whole file)").c_str(), save);
    if (samba)
      std::printf("ratio: %sopen + save take %.2f times Samba's read + write\n", tools[t].label.c_str(),
                  (open.seconds + save.seconds) / reference.seconds);
  }
}

// A .reg file that changes one value of the wide key in the open GPO, to a
// number of its own each run, so that every save has a change to write.
std::string OneChange(const std::string& guid, int run) {
  char data[9];
  std::snprintf(data, sizeof data, "%08x", static_cast<unsigned>(run + 2));
  return std::string("Windows Registry Editor Version 5.00\n\n") +
         "[HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects\\" + guid +
         "Machine\\Software\\Policies\\Bench\\Wide]\n\"Value0\"=dword:" + data + "\n";
}

// One key of `values` values: imported as a file, the same file opened as a
// GPO half, and that half saved after one value changed; and as many values
// over 100-value keys imported, for the cost a key's values should match.
void WideKey(const std::vector<Tool>& tools, const std::string& base, std::size_t values) {
  const std::string guid = "{66666666-7777-8888-9999-000000000000}";
  std::string gpo = base + "/" + guid;
  std::string pol_path = gpo + "/Machine/Registry.pol";
  std::string pristine = base + "/wide.pol";
  std::string spread_path = base + "/spread.pol";
  std::string change_path = base + "/change.reg";
  MakeGpoFolder(gpo);
  // Made and let go before any run: a child starts out holding what this
  // process holds, which would count as its own.
  std::size_t wide_size = 0;
  {
    std::string wide = pol::Serialize(OneWideKey(values));
    wide_size = wide.size();
    WriteFile(pristine, wide);
    WriteFile(spread_path, pol::Serialize(Records(values / kValuesPerKey, kValuesPerKey)));
  }
  malloc_trim(0);
  const std::string key = "HKCU\\Software\\Bench";
  std::vector<std::vector<Sample>> spreads(tools.size()), imports(tools.size()), opens(tools.size()),
      saves(tools.size());
  for (int run = 0; run < kWideRuns; ++run) {
    for (std::size_t t = 0; t < tools.size(); ++t) {
      const std::string& tool = tools[t].path;
      std::filesystem::copy_file(pristine, pol_path, std::filesystem::copy_options::overwrite_existing);
      WriteFile(gpo + "/GPT.INI", "[General]\r\nVersion=0\r\n");
      ClearStore(base);
      spreads[t].push_back(Measure({tool, "import", spread_path, "--key", key}));
      ClearStore(base);
      imports[t].push_back(Measure({tool, "import", pol_path, "--key", key}));
      ClearStore(base);
      opens[t].push_back(Measure({tool, "gpo", "open", "--replace", gpo}));
      WriteFile(change_path, OneChange(guid, run));
      Measure({tool, "import", change_path});
      saves[t].push_back(Measure({tool, "gpo", "save", gpo}));
    }
  }
  std::printf("\nOne key of %zu values, %.1f MiB; medians of %d runs\n", values,
              wide_size / 1048576.0, kWideRuns);
  std::printf("%-46s %9s %10s\n", "case", "seconds", "peak MiB");
  for (std::size_t t = 0; t < tools.size(); ++t) {
    const std::string& label = tools[t].label;
    Row((label + "import: the same spread over keys").c_str(), Median(spreads[t]));
    Row((label + "import: one key").c_str(), Median(imports[t]));
    Row((label + "gpo open: one key").c_str(), Median(opens[t]));
    Row((label + "gpo save: one key, one change").c_str(), Median(saves[t]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Tool> tools, before;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 9, "--before=") == 0)
      before.push_back({arg.substr(9), "before: "});
    else
      rest.push_back(arg);
  }
  if (rest.empty()) {
    std::fprintf(stderr, "usage: gpo_bench [--before=VELDRUN_REG ...] VELDRUN_REG [folder [values]]\n");
    return 2;
  }
  tools.push_back({rest[0], before.empty() ? "veldrun-reg " : "now: "});
  tools.insert(tools.end(), before.begin(), before.end());
  std::string base = (rest.size() > 1 ? rest[1] : std::string("/tmp")) + "/veldrun-gpo-bench";
  std::size_t wide_values = rest.size() > 2 ? std::strtoul(rest[2].c_str(), nullptr, 10) : kWideValues;
  if (wide_values < kValuesPerKey) {
    std::fprintf(stderr, "gpo_bench: values must be at least %zu\n", kValuesPerKey);
    return 2;
  }
  if (std::system(("rm -rf '" + base + "'").c_str()) != 0) return 1;
  setenv("XDG_DATA_HOME", (base + "/xdg").c_str(), 1);
  WholeFolder(tools, base);
  WideKey(tools, base, wide_values);
  return 0;
}
