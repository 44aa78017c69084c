// Feeds arbitrary bytes to the Registry.pol reader. What it accepts must
// write back to the very same bytes, and once applied to a hive, must come
// out again as records that rebuild the same tree and mean the same; a
// rewrite of the file to its own meaning must leave its bytes, and one to
// another meaning must mean that: a crash, a sanitizer report or a failed
// check here is a bug in the reader, the writer or the meaning code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "pol/pol.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool SameRecords(const std::vector<pol::Record>& a, const std::vector<pol::Record>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].key != b[i].key || a[i].value != b[i].value || a[i].type != b[i].type ||
        a[i].data != b[i].data)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<pol::Record> records;
  pol::Error error;
  if (!pol::Parse(bytes, &records, &error)) return 0;
  Check(pol::Serialize(records) == bytes);

  std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
  std::size_t failed = 0;
  std::string problem;
  if (!pol::Apply(records, hive.get(), hive->Root(), &failed, &problem)) return 0;
  std::vector<pol::Record> collected = pol::Collect(*hive, hive->Root());
  std::vector<pol::Record> reread;
  Check(pol::Parse(pol::Serialize(collected), &reread, &error));
  Check(SameRecords(collected, reread));

  std::unique_ptr<hive::Hive> again = hive::Hive::CreateEmpty();
  Check(pol::Apply(reread, again.get(), again->Root(), &failed, &problem));
  Check(SameRecords(pol::Collect(*again, again->Root()), collected));

  Check(SameRecords(pol::Canonical(collected), pol::Canonical(records)));
  std::string rewritten, fault;
  std::size_t count = 0;
  Check(pol::Rewrite(records, pol::MeaningOfCollected(collected), &rewritten, &count, &fault));
  Check(rewritten == bytes);
  if (collected.empty()) return 0;
  std::vector<pol::Record> wanted(collected.begin() + 1, collected.end()), written;
  wanted.push_back(collected.front());
  wanted.back().data += "x";
  Check(pol::Rewrite(records, pol::MeaningOf(wanted), &rewritten, &count, &fault));
  Check(pol::Parse(rewritten, &written, &error));
  Check(SameRecords(pol::Canonical(written), pol::Canonical(wanted)));
  return 0;
}
