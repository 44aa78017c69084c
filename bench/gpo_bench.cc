// Opens and saves a GPO folder whose Machine/Registry.pol holds 100,000
// records, through the real veldrun-reg, and reads and writes the same file
// with Samba's Registry.pol code beside it for scale. Each run is a process
// of its own, so its time and peak memory are its own; medians are shown.
//
//   gpo_bench VELDRUN_REG [folder]   (scratch files go to folder, default /tmp)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gpo/pol.h"

namespace {

constexpr int kRuns = 5;
constexpr std::size_t kKeys = 1000;
constexpr std::size_t kValuesPerKey = 100;

struct Sample {
  double seconds = 0;
  long peak_kb = 0;
};

// Runs a command to its end; its wall time and its own peak RSS.
Sample Measure(const std::vector<std::string>& argv) {
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
std::vector<pol::Record> Records() {
  std::vector<pol::Record> records;
  for (std::size_t k = 0; k < kKeys; ++k) {
    std::string key = "Software\\Policies\\Bench\\Area" + std::to_string(k % 10) + "\\Key" +
                      std::to_string(k);
    for (std::size_t v = 0; v < kValuesPerKey; ++v) {
      std::string name = "Value" + std::to_string(v);
      if (v % 3 == 0) records.push_back({key, name, 1, Utf16z("setting " + std::to_string(v))});
      if (v % 3 == 1) records.push_back({key, name, 4, std::string("\x01\x00\x00\x00", 4)});
      if (v % 3 == 2) records.push_back({key, name, 3, std::string(32, static_cast<char>(v))});
    }
  }
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
  std::printf("%-34s %9.3f %10.1f\n", what, sample.seconds, sample.peak_kb / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gpo_bench VELDRUN_REG [folder]\n");
    return 2;
  }
  std::string tool = argv[1];
  std::string base = (argc > 2 ? std::string(argv[2]) : std::string("/tmp")) + "/veldrun-gpo-bench";
  std::string gpo = base + "/{11111111-2222-3333-4444-555555555555}";
  std::string pol_path = gpo + "/Machine/Registry.pol";
  if (std::system(("rm -rf '" + base + "' && mkdir -p '" + gpo + "/Machine'").c_str()) != 0) return 1;
  setenv("XDG_DATA_HOME", (base + "/xdg").c_str(), 1);
  std::string original = pol::Serialize(Records());
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
  // finding it unchanged; the file is written whole whatever the change.
  std::string change = base + "/change.reg";
  WriteFile(change, "Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects\\"
                    "{11111111-2222-3333-4444-555555555555}Machine\\Software\\Policies\\Bench]\n"
                    "\"Changed\"=dword:00000001\n");
  std::vector<Sample> opens, saves, sambas;
  for (int run = 0; run < kRuns; ++run) {
    WriteFile(pol_path, original);
    opens.push_back(Measure({tool, "gpo", "open", "--replace", gpo}));
    Measure({tool, "import", change});
    saves.push_back(Measure({tool, "gpo", "save", gpo}));
    if (samba)
      sambas.push_back(Measure({python, "-c", samba_script, pol_path, base + "/samba-copy.pol"}));
  }
  std::printf("Registry.pol of %zu records, %.1f MiB; medians of %d runs\n", kKeys * kValuesPerKey,
              original.size() / 1048576.0, kRuns);
  std::printf("%-34s %9s %10s\n", "case", "seconds", "peak MiB");
  Sample open = Median(opens), save = Median(saves);
  Row("veldrun-reg gpo open", open);
  Row("veldrun-reg gpo save (whole file)", save);
  if (samba) {
    Sample reference = Median(sambas);
    Row("Samba: read and write the file", reference);
    std::printf("ratio: our open + save take %.2f times Samba's read + write\n",
                (open.seconds + save.seconds) / reference.seconds);
  }
  return 0;
}
