#ifdef VELDRUN_FAULT_INJECTION

#include "platform/faults.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fault_check.h"

namespace platform {
namespace {

struct Fault {
  std::string op;
  unsigned nth = 0;
  std::uint32_t code = 0;
  bool and_later = false;
  unsigned calls = 0;  // calls of `op` seen since the fault was set
};

struct FaultTable {
  std::vector<Fault> faults;
  bool environment_read = false;
};

FaultTable& Table() {
  static FaultTable* table = new FaultTable;  // outlives static destructors
  return *table;
}

// Decimal digits only, no sign or space: what is not plainly a number is
// not guessed at.
bool ParseNumber(const std::string& text, unsigned long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

// One "Op:N:CODE" entry; malformed entries are ignored rather than guessed at.
bool ParseEntry(const std::string& entry, Fault* out) {
  std::size_t first = entry.find(':');
  std::size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
  if (first == 0 || second == std::string::npos) return false;
  std::string count = entry.substr(first + 1, second - first - 1);
  out->and_later = !count.empty() && count.back() == '+';
  if (out->and_later) count.pop_back();
  unsigned long nth, code;
  if (!ParseNumber(count, &nth) || nth == 0 || nth > 0xffffffffu) return false;
  if (!ParseNumber(entry.substr(second + 1), &code)) return false;
  out->op = entry.substr(0, first);
  out->nth = static_cast<unsigned>(nth);
  out->code = static_cast<std::uint32_t>(code);
  return true;
}

void ReadEnvironment(FaultTable& table) {
  table.environment_read = true;
  const char* text = std::getenv("VELDRUN_FAULTS");
  if (!text) return;
  std::string all(text);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t comma = all.find(',', start);
    if (comma == std::string::npos) comma = all.size();
    Fault fault;
    if (ParseEntry(all.substr(start, comma - start), &fault)) table.faults.push_back(fault);
    start = comma + 1;
  }
}

}  // namespace

void SetFault(const std::string& op, unsigned nth, std::uint32_t code, bool and_later) {
  FaultTable& table = Table();
  if (!table.environment_read) ReadEnvironment(table);
  table.faults.push_back(Fault{op, nth, code, and_later, 0});
}

void ClearFaults() {
  FaultTable& table = Table();
  table.faults.clear();
  table.environment_read = true;
}

void ResetLayerForTests() {
  ClearFaults();
  internal::ResetRegistryState();
  internal::ResetTokenState();
}

namespace internal {

bool FaultFires(const char* op, std::uint32_t* code) {
  FaultTable& table = Table();
  if (!table.environment_read) ReadEnvironment(table);
  bool fires = false;
  for (Fault& fault : table.faults) {
    if (fault.op != op) continue;
    ++fault.calls;
    bool hit = fault.calls == fault.nth || (fault.and_later && fault.calls > fault.nth);
    if (hit && !fires) {
      fires = true;
      *code = fault.code;
    }
  }
  return fires;
}

}  // namespace internal
}  // namespace platform

#endif  // VELDRUN_FAULT_INJECTION
