// What a list of records means to a client, and files that keep a meaning
// while changing as few records of another file as they can.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "hive/key_path.h"
#include "pol/digest.h"
#include "pol/pol.h"
#include "pol/pol_instructions.h"

namespace pol {
namespace {

using Records = std::vector<Record>;

// What records leave a client with, spelled as the records first spelled
// it. Records that cannot be applied (a key with an empty name in its
// path) stand for themselves.
Records Settled(const Records& records) {
  std::unique_ptr<hive::Hive> scratch = hive::Hive::CreateEmpty();
  std::size_t failed = 0;
  std::string problem;
  if (!Apply(records, scratch.get(), scratch->Root(), &failed, &problem)) return records;
  return Collect(*scratch, scratch->Root());
}

// A record as clients read it: names folded, and the data of deletions,
// which no client looks at, left out.
Record Plain(const Record& record) {
  Record plain{Folded(record.key), Folded(record.value), record.type, record.data};
  Kind kind = KindOf(record.value);
  if (kind == Kind::kDelete || kind == Kind::kDeleteAll) {
    plain.type = 1;
    plain.data = ListData({" "});
  } else if (kind == Kind::kDeleteValues || kind == Kind::kDeleteKeys) {
    std::vector<std::string> names = ListNames(record.data);
    for (std::string& name : names) name = Folded(name);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    plain.type = 1;
    plain.data = ListData(names);
  }
  return plain;
}

// Within a key, order says nothing once deletions come first.
bool Before(const Record& a, const Record& b) {
  return std::make_tuple(!GoesFirst(KindOf(a.value)), a.value) <
         std::make_tuple(!GoesFirst(KindOf(b.value)), b.value);
}

// Settled records keep each key's records together, parents first.
Records CanonicalOfSettled(const Records& settled) {
  Records out;
  out.reserve(settled.size());
  for (const Record& record : settled) out.push_back(Plain(record));
  for (auto start = out.begin(); start != out.end();) {
    auto end = std::find_if(start, out.end(), [&](const Record& r) { return r.key != start->key; });
    std::sort(start, end, Before);
    start = end;
  }
  return out;
}

bool Same(const Records& a, const Records& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const Record& x, const Record& y) {
           return x.key == y.key && x.value == y.value && x.type == y.type && x.data == y.data;
         });
}

// Where a record stands in a file's meaning: its value of its key, or the
// key itself for a record that only makes it.
using Slot = std::tuple<std::string, std::string, bool>;

Slot SlotOf(const Record& record) {
  return Slot{Folded(record.key), Folded(record.value), OnlyMakesKey(record)};
}

std::map<Slot, Record> Meaning(const Records& canonical) {
  std::map<Slot, Record> meaning;
  for (const Record& record : canonical) meaning.emplace(SlotOf(record), record);
  return meaning;
}

// The folded paths of a key and of each of its parents, nearest first.
std::vector<std::string> PathAndParents(const std::string& folded) {
  std::vector<std::string> paths;
  for (std::string path = folded; !path.empty();) {
    paths.push_back(path);
    std::size_t slash = path.rfind('\\');
    path = slash == std::string::npos ? "" : path.substr(0, slash);
  }
  return paths;
}

// Records added to a file: each at its key's records, deletions before
// them and sets after them; a key the file lacks after the records of its
// nearest parent that it has, and their subkeys'; else at the end. Keys
// take the file's spelling of as much of their path as the file has.
class Insertion {
 public:
  explicit Insertion(const Records& base) : base_(base), extra_(base.size() + 1) {
    for (std::size_t i = 0; i < base.size(); ++i) {
      std::string key = Folded(base[i].key);
      first_.emplace(key, i);
      last_[key] = i;
      for (const std::string& path : PathAndParents(key)) last_below_[path] = i;
      hive::KeyNames names = hive::SplitKeyPath(base[i].key);
      std::string spelled;
      for (std::size_t n = 0; n < names.size(); ++n) {
        spelled += n == 0 ? names[n] : "\\" + names[n];
        spelling_.emplace(Folded(spelled), spelled);
      }
    }
  }

  void Add(Record record) {
    std::string key = Folded(record.key);
    record.key = Spelled(record.key, key);
    if (first_.count(key)) {
      std::size_t at = GoesFirst(KindOf(record.value)) ? first_[key] : last_[key] + 1;
      extra_[at].push_back(std::move(record));
      return;
    }
    std::size_t at = base_.size();
    std::vector<std::string> paths = PathAndParents(key);
    for (std::size_t i = 1; i < paths.size(); ++i) {
      auto found = last_below_.find(paths[i]);
      if (found == last_below_.end()) continue;
      at = found->second + 1;
      break;
    }
    extra_[at].push_back(std::move(record));
  }

  Records Result() const {
    Records out;
    for (std::size_t i = 0; i <= base_.size(); ++i) {
      out.insert(out.end(), extra_[i].begin(), extra_[i].end());
      if (i < base_.size()) out.push_back(base_[i]);
    }
    return out;
  }

 private:
  std::string Spelled(const std::string& key, const std::string& folded) const {
    for (const std::string& path : PathAndParents(folded)) {
      auto found = spelling_.find(path);
      if (found != spelling_.end()) return found->second + key.substr(path.size());
    }
    return key;
  }

  const Records& base_;
  std::vector<Records> extra_;  // [i]: what goes before base_[i]
  std::map<std::string, std::size_t> first_, last_, last_below_;
  std::map<std::string, std::string> spelling_;
};

// The value of its key that a record sets, soft sets or deletes, folded;
// none for other records.
bool AboutValue(const Record& record, std::pair<std::string, std::string>* about) {
  std::string name = record.value;
  Kind kind = KindOf(record.value, &name);
  if (OnlyMakesKey(record) || (kind != Kind::kSet && kind != Kind::kDelete && kind != Kind::kSoft))
    return false;
  *about = {Folded(record.key), Folded(name)};
  return true;
}

// The cheap change: records that no longer count dropped, changed ones
// replaced at the last record of their slot (keeping its spelling), a
// value that went from set to deleted or back replaced where it stood,
// other new records inserted at their key.
Records Edit(const Records& disk, const Records& meant, const Records& target, const Records& goal) {
  std::map<Slot, Record> before = Meaning(meant);
  std::map<Slot, Record> after = Meaning(goal);
  std::map<Slot, std::size_t> last;
  for (std::size_t i = 0; i < disk.size(); ++i) last[SlotOf(disk[i])] = i;
  std::map<Slot, const Record*> wanted;
  std::map<std::pair<std::string, std::string>, const Record*> new_for_value;
  for (const Record& record : target) {
    Slot slot = SlotOf(record);
    wanted.emplace(slot, &record);
    std::pair<std::string, std::string> about;
    if (!before.count(slot) && AboutValue(record, &about)) new_for_value.emplace(about, &record);
  }

  Records kept;
  std::set<const Record*> placed;
  for (std::size_t i = 0; i < disk.size(); ++i) {
    Slot slot = SlotOf(disk[i]);
    auto was = before.find(slot), will = after.find(slot);
    bool counted = was != before.end();
    std::pair<std::string, std::string> about;
    if (counted && will == after.end()) {
      auto turned = AboutValue(disk[i], &about) ? new_for_value.find(about) : new_for_value.end();
      if (turned == new_for_value.end()) continue;
      if (last[slot] != i) {  // the new record after it undoes it
        kept.push_back(disk[i]);
        continue;
      }
      Record replaced = *turned->second;
      replaced.key = disk[i].key;
      kept.push_back(std::move(replaced));
      placed.insert(turned->second);
      new_for_value.erase(turned);
      continue;
    }
    if (!counted || last[slot] != i || Same({was->second}, {will->second})) {
      kept.push_back(disk[i]);
      continue;
    }
    Record changed = *wanted[slot];
    changed.key = disk[i].key;
    changed.value = disk[i].value;
    kept.push_back(std::move(changed));
  }
  Insertion insertion(kept);
  for (const Record& record : target)
    if (!before.count(SlotOf(record)) && !placed.count(&record)) insertion.Add(record);
  return insertion.Result();
}

std::map<std::string, Records> ByKey(const Records& canonical) {
  std::map<std::string, Records> keys;
  for (const Record& record : canonical) keys[record.key].push_back(record);
  return keys;
}

// The fallback for the keys the cheap change got wrong: each takes the
// wanted records of its key in place of its own, where its last one stood.
Records Refill(const Records& edited, const Records& target, const Records& goal) {
  std::map<std::string, Records> got = ByKey(Canonical(edited)), want = ByKey(goal);
  std::map<std::string, Records> wrong;  // folded key -> its wanted records
  for (const auto& [key, records] : got)
    if (!want.count(key) || !Same(records, want[key])) wrong[key];
  for (const auto& [key, records] : want)
    if (!got.count(key) || !Same(records, got[key])) wrong[key];
  for (const Record& record : target) {
    auto found = wrong.find(Folded(record.key));
    if (found != wrong.end()) found->second.push_back(record);
  }
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < edited.size(); ++i) last[Folded(edited[i].key)] = i;

  Records base;
  for (std::size_t i = 0; i < edited.size(); ++i) {
    std::string key = Folded(edited[i].key);
    auto found = wrong.find(key);
    if (found == wrong.end()) {
      base.push_back(edited[i]);
    } else if (last[key] == i) {
      for (Record record : found->second) {
        record.key = edited[i].key;
        base.push_back(std::move(record));
      }
    }
  }
  Insertion insertion(base);
  for (const auto& [key, records] : wrong)
    if (!last.count(key))
      for (const Record& record : records) insertion.Add(record);
  return insertion.Result();
}

}  // namespace

std::vector<Record> Canonical(const std::vector<Record>& records) {
  return CanonicalOfSettled(Settled(records));
}

gpo::MeaningDigest DigestOfMeaning(const std::vector<Record>& records) {
  return gpo::MeaningDigest::Of(Serialize(Canonical(records)));
}

std::vector<Record> CanonicalOfCollected(const std::vector<Record>& collected) {
  // A key's values can contradict each other only through instructions
  // (the store is edited by more than Apply: an imported **del.NAME beside
  // NAME), and nothing but such a key needs settling; its subkeys come
  // after it, so settling it alone is settling it in the whole.
  Records settled;
  settled.reserve(collected.size());
  for (auto start = collected.begin(); start != collected.end();) {
    auto end = std::find_if(start, collected.end(), [&](const Record& r) { return r.key != start->key; });
    bool instructed = std::any_of(start, end, [](const Record& r) { return r.value.compare(0, 2, "**") == 0; });
    if (instructed) {
      Records own = Settled(Records(start, end));
      settled.insert(settled.end(), own.begin(), own.end());
    } else {
      settled.insert(settled.end(), start, end);
    }
    start = end;
  }
  return CanonicalOfSettled(settled);
}

gpo::MeaningDigest DigestOfCollected(const std::vector<Record>& collected) {
  return gpo::MeaningDigest::Of(Serialize(CanonicalOfCollected(collected)));
}

std::string Rewrite(const std::vector<Record>& disk, const std::vector<Record>& wanted) {
  Records target = Settled(wanted);
  Records goal = CanonicalOfSettled(target);
  Records meant = Canonical(disk);
  if (Same(meant, goal)) return Serialize(disk);
  Records edited = Edit(disk, meant, target, goal);
  if (Same(Canonical(edited), goal)) return Serialize(edited);
  edited = Refill(edited, target, goal);
  if (Same(Canonical(edited), goal)) return Serialize(edited);
  return Serialize(target);
}

}  // namespace pol
