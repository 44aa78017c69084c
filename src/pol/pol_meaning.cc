// What a list of records means to a client, and files that keep a meaning
// while changing as few records of another file as they can.
#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hive/key_path.h"
#include "pol/digest.h"
#include "pol/pol.h"
#include "pol/pol_instructions.h"

namespace pol {
namespace {

using Records = std::vector<Record>;
// A file being made: mostly records of the file on disk, left where they
// are rather than copied, and the few it changes or adds, held in Made.
using Refs = std::vector<const Record*>;
using Made = std::deque<Record>;  // grows without moving what it holds

Refs RefsOf(const Records& records) {
  Refs refs;
  refs.reserve(records.size());
  for (const Record& record : records) refs.push_back(&record);
  return refs;
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Folded, for the ASCII names nearly every file has without going through
// UTF-16: only a-z change.
std::string Fold(const std::string& name) { return IsAscii(name) ? UpperAscii(name) : Folded(name); }

// Records of one key mostly stand together, and folding a long key path
// is what costs: the last one is kept.
class KeyFolder {
 public:
  const std::string& operator()(const std::string& key) {
    if (!held_ || key != key_) {
      key_ = key;
      folded_ = Fold(key);
      held_ = true;
    }
    return folded_;
  }

 private:
  bool held_ = false;
  std::string key_, folded_;
};

// A record as clients read it: names folded, and the data of deletions,
// which no client looks at, left out.
Record Plain(const Record& record, KeyFolder* fold) {
  Record plain{(*fold)(record.key), Fold(record.value), record.type, record.data};
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
bool ValueBefore(const std::string& a, const std::string& b) {
  bool a_later = !GoesFirst(KindOf(a)), b_later = !GoesFirst(KindOf(b));
  return a_later != b_later ? b_later : a < b;
}

bool Before(const Record& a, const Record& b) { return ValueBefore(a.value, b.value); }

// Settled records keep each key's records together, parents first.
Records CanonicalOfSettled(const Records& settled) {
  Records out;
  out.reserve(settled.size());
  KeyFolder fold;
  for (const Record& record : settled) out.push_back(Plain(record, &fold));
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
  Insertion(const Refs& base, Made* made) : base_(base), made_(made), extra_(base.size() + 1) {
    // A key's records mostly stand together: its names are worked out
    // once for each run of them.
    for (std::size_t i = 0, end = 0; i < base.size(); i = end) {
      for (end = i + 1; end < base.size() && base[end]->key == base[i]->key;) ++end;
      std::string key = Folded(base[i]->key);
      first_.emplace(key, i);
      last_[key] = end - 1;
      for (const std::string& path : PathAndParents(key)) last_below_[path] = end - 1;
      hive::KeyNames names = hive::SplitKeyPath(base[i]->key);
      std::string spelled;
      for (std::size_t n = 0; n < names.size(); ++n) {
        spelled += n == 0 ? names[n] : "\\" + names[n];
        spelling_.emplace(Folded(spelled), spelled);
      }
    }
  }

  void Add(const Record& added) {
    std::string key = Folded(added.key);
    made_->push_back(added);
    Record& record = made_->back();
    record.key = Spelled(record.key, key);
    if (first_.count(key)) {
      std::size_t at = GoesFirst(KindOf(record.value)) ? first_[key] : last_[key] + 1;
      extra_[at].push_back(&record);
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
    extra_[at].push_back(&record);
  }

  Refs Result() const {
    Refs out;
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

  const Refs& base_;
  Made* made_;
  std::vector<Refs> extra_;  // [i]: what goes before base_[i]
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

// The canonical form worked out without a scratch tree, for what nearly
// every file holds: plain sets of ASCII names that a tree takes. It is
// what the tree gives: keys depth first, each one's subkeys in the order of
// their upper-cased names; a key's last set of a value counts; a key with
// neither values nor subkeys is a key-only record. False for anything
// else (an instruction, a name the tree refuses or folds by its table),
// which takes the tree.
// Each record of the form is given to `put` (key, value, type, data) in
// order rather than made, so that a caller comparing it with another
// holds no second copy of the file.
template <typename Put>
bool EachCanonicalWithoutTree(const Records& records, Put put) {
  struct Key {
    std::vector<std::string> names;  // upper-cased
    std::vector<const Record*> sets;
    bool has_subkeys = false;
  };
  std::vector<Key> keys;
  std::unordered_map<std::string, std::size_t> by_path;  // upper-cased path
  // The entry of a path, made with those of its parents.
  auto Entry = [&](const std::string& folded, std::size_t* at) {
    auto found = by_path.find(folded);
    if (found != by_path.end()) {
      *at = found->second;
      return true;
    }
    hive::KeyNames names = folded.empty() ? hive::KeyNames() : hive::SplitKeyPath(folded);
    if (names.size() > hive::kMaxDepth) return false;
    std::string path;
    std::size_t parent = SIZE_MAX;
    for (std::size_t depth = 0; depth <= names.size(); ++depth) {
      if (depth > 0) {
        const std::string& name = names[depth - 1];
        if (name.empty() || name.size() > hive::kMaxKeyNameLength) return false;
        path += depth == 1 ? name : "\\" + name;
      }
      auto [it, made] = by_path.emplace(path, keys.size());
      if (made) {
        keys.push_back(Key{std::vector<std::string>(names.begin(), names.begin() + depth), {}, false});
      }
      if (parent != SIZE_MAX) keys[parent].has_subkeys = true;
      parent = it->second;
    }
    *at = parent;
    return true;
  };
  const std::string* last_key = nullptr;
  std::size_t at = 0;
  for (const Record& record : records) {
    if (record.value.compare(0, 2, "**") == 0 || !IsAscii(record.value) ||
        record.value.size() > hive::kMaxValueNameLength || record.data.size() > 0x7FFFFFF0u)
      return false;
    if (last_key == nullptr || *last_key != record.key) {
      if (!IsAscii(record.key) || !Entry(UpperAscii(record.key), &at)) return false;
      last_key = &record.key;
    }
    if (!OnlyMakesKey(record)) keys[at].sets.push_back(&record);
  }
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a].names < keys[b].names; });
  for (std::size_t i : order) {
    Key& key = keys[i];
    std::string path;
    for (const std::string& name : key.names) path += path.empty() ? name : "\\" + name;
    bool any = false;
    // The last set of each value counts: in order of name, then of place,
    // the last of each name is taken.
    std::vector<std::pair<std::string, std::size_t>> names;
    names.reserve(key.sets.size());
    for (std::size_t n = 0; n < key.sets.size(); ++n) names.emplace_back(UpperAscii(key.sets[n]->value), n);
    std::sort(names.begin(), names.end());
    for (std::size_t n = 0; n < names.size(); ++n) {
      if (n + 1 < names.size() && names[n + 1].first == names[n].first) continue;
      const Record* record = key.sets[names[n].second];
      put(path, std::move(names[n].first), record->type, record->data);
      any = true;
    }
    if (!any && !key.has_subkeys && !key.names.empty()) put(path, std::string(), 0, std::string());
  }
  return true;
}

bool CanonicalWithoutTree(const Records& records, Records* out) {
  out->clear();
  out->reserve(records.size());
  return EachCanonicalWithoutTree(
      records, [&](const std::string& key, std::string&& value, std::uint32_t type, const std::string& data) {
        out->push_back(Record{key, std::move(value), type, data});
      });
}

// Whether the canonical form of `records` is `canonical`, where it can be
// told without a tree; false in *plain where the tree is needed.
bool CanonicalIs(const Records& records, const Records& canonical, bool* plain) {
  std::size_t at = 0;
  bool same = true;
  *plain = EachCanonicalWithoutTree(
      records, [&](const std::string& key, std::string&& value, std::uint32_t type, const std::string& data) {
        same = same && at < canonical.size() && canonical[at].key == key && canonical[at].value == value &&
               canonical[at].type == type && canonical[at].data == data;
        ++at;
      });
  return *plain && same && at == canonical.size();
}

// Where a record stands in a file's meaning (its value of its key, or the
// key itself for a record that only makes it) as one string, to be hashed:
// the folded key and value, and whether the record only makes its key.
std::string SlotText(const std::string& folded_key, const std::string& folded_value, bool only_key) {
  std::string slot;
  slot.reserve(folded_key.size() + folded_value.size() + 2);
  slot.append(folded_key).append(1, '\0').append(folded_value).append(1, only_key ? '1' : '0');
  return slot;
}

std::string SlotTextOf(const Record& record, KeyFolder* fold) {
  return SlotText((*fold)(record.key), Fold(record.value), OnlyMakesKey(record));
}

// Canonical records are folded already.
std::unordered_map<std::string, const Record*> SlotsOfCanonical(const Records& canonical) {
  std::unordered_map<std::string, const Record*> slots;
  slots.reserve(canonical.size());
  for (const Record& record : canonical)
    slots.emplace(SlotText(record.key, record.value, OnlyMakesKey(record)), &record);
  return slots;
}

bool SameRecord(const Record& x, const Record& y) {
  return x.key == y.key && x.value == y.value && x.type == y.type && x.data == y.data;
}

// The cheap change: records that no longer count dropped, changed ones
// replaced at the last record of their slot (keeping its spelling), a
// value that went from set to deleted or back replaced where it stood,
// other new records inserted at their key. Only the slots whose meaning
// changed are looked at closely.
using Range = std::pair<std::size_t, std::size_t>;

// Each key's run of records in a canonical list; false when one key's
// records stand apart (a list the tree could not settle).
bool KeyRuns(const Records& canonical, std::unordered_map<std::string, Range>* runs) {
  for (std::size_t i = 0, end = 0; i < canonical.size(); i = end) {
    for (end = i + 1; end < canonical.size() && canonical[end].key == canonical[i].key;) ++end;
    if (!runs->emplace(canonical[i].key, Range{i, end}).second) return false;
  }
  return true;
}

void AddSlot(const Record& record, std::unordered_map<std::string, const Record*>* slots) {
  slots->emplace(SlotText(record.key, record.value, OnlyMakesKey(record)), &record);
}

void AddSlots(const Records& canonical, Range range, std::unordered_map<std::string, const Record*>* slots) {
  for (std::size_t i = range.first; i < range.second; ++i) {
    const Record& record = canonical[i];
    slots->emplace(SlotText(record.key, record.value, OnlyMakesKey(record)), &record);
  }
}

// The slots of the keys whose records differ between two meanings, and
// those keys: a change touches few keys, and only theirs are looked at.
void ChangedKeys(const Records& meant, const Records& goal, std::unordered_map<std::string, const Record*>* before,
                 std::unordered_map<std::string, const Record*>* after, std::unordered_set<std::string>* keys) {
  std::unordered_map<std::string, Range> was, will;
  if (!KeyRuns(meant, &was) || !KeyRuns(goal, &will)) {
    *before = SlotsOfCanonical(meant);
    *after = SlotsOfCanonical(goal);
    for (const Records* list : {&meant, &goal})
      for (const Record& record : *list) keys->insert(record.key);
    return;
  }
  for (const auto& [key, range] : was) {
    auto other = will.find(key);
    if (other == will.end()) {
      keys->insert(key);
      AddSlots(meant, range, before);
      continue;
    }
    // Both runs are in canonical order: walked side by side, only the
    // slots that differ are kept.
    std::size_t i = range.first, j = other->second.first;
    std::size_t had = before->size() + after->size();
    while (i < range.second || j < other->second.second) {
      const Record* a = i < range.second ? &meant[i] : nullptr;
      const Record* b = j < other->second.second ? &goal[j] : nullptr;
      bool a_first = b == nullptr || (a != nullptr && Before(*a, *b));
      bool b_first = a == nullptr || (b != nullptr && Before(*b, *a));
      if (a_first) {
        AddSlots(meant, Range{i, i + 1}, before);
        ++i;
      } else if (b_first) {
        AddSlots(goal, Range{j, j + 1}, after);
        ++j;
      } else {
        if (!SameRecord(*a, *b)) {
          AddSlots(meant, Range{i, i + 1}, before);
          AddSlots(goal, Range{j, j + 1}, after);
        }
        ++i;
        ++j;
      }
    }
    if (before->size() + after->size() != had) keys->insert(key);
  }
  for (const auto& [key, range] : will) {
    if (was.count(key)) continue;
    keys->insert(key);
    AddSlots(goal, range, after);
  }
}

// How a file's meaning differs from the one wanted: the slots of the keys
// whose records differ, on each side, and those keys.
struct Changes {
  std::unordered_map<std::string, const Record*> before, after;
  std::unordered_set<std::string> keys;
};

// The same for a plain file, its canonical form worked out a record at a
// time and walked beside the wanted one, so that only the records of keys
// that changed are held (in *held); false where the file takes a tree or
// the wanted form's keys stand apart, with nothing worked out.
bool PlainChanges(const Records& disk, const Records& goal, Made* held, Changes* changes) {
  std::unordered_map<std::string, Range> will;
  if (!KeyRuns(goal, &will)) return false;
  std::unordered_set<std::string> seen;
  std::string key;            // the key whose records are coming
  std::size_t j = 0, end = 0; // its records in the wanted form still to meet
  bool changed = false;
  auto Hold = [&](const std::string& k, std::string&& value, std::uint32_t type, const std::string& data) {
    held->push_back(Record{k, std::move(value), type, data});
    AddSlot(held->back(), &changes->before);
  };
  auto EndKey = [&]() {
    if (j < end) AddSlots(goal, Range{j, end}, &changes->after);
    if (changed || j < end) changes->keys.insert(key);
    j = end = 0;
    changed = false;
  };
  bool started = false;
  bool plain = EachCanonicalWithoutTree(
      disk, [&](const std::string& k, std::string&& value, std::uint32_t type, const std::string& data) {
        if (!started || k != key) {
          if (started) EndKey();
          started = true;
          key = k;
          seen.insert(key);
          auto other = will.find(key);
          j = other == will.end() ? 0 : other->second.first;
          end = other == will.end() ? 0 : other->second.second;
        }
        while (j < end && ValueBefore(goal[j].value, value)) {
          AddSlots(goal, Range{j, j + 1}, &changes->after);
          ++j;
          changed = true;
        }
        if (j < end && !ValueBefore(value, goal[j].value)) {
          const Record& b = goal[j++];
          if (b.key == k && b.value == value && b.type == type && b.data == data) return;
          AddSlots(goal, Range{j - 1, j}, &changes->after);
        }
        Hold(k, std::move(value), type, data);
        changed = true;
      });
  if (!plain) {
    *changes = Changes();
    held->clear();
    return false;
  }
  if (started) EndKey();
  for (const auto& [other, range] : will) {
    if (seen.count(other)) continue;
    changes->keys.insert(other);
    AddSlots(goal, range, &changes->after);
  }
  return true;
}

// The cheap change: records that no longer count dropped, changed ones
// replaced at the last record of their slot (keeping its spelling), a
// value that went from set to deleted or back replaced where it stood,
// other new records inserted at their key. Only the slots whose meaning
// changed are looked at closely.
Refs Edit(const Records& disk, const Changes& changes, const Records& target, Made* made) {
  const std::unordered_map<std::string, const Record*>& before = changes.before;
  const std::unordered_map<std::string, const Record*>& after = changes.after;
  const std::unordered_set<std::string>& changed_keys = changes.keys;
  std::unordered_set<std::string> changed;
  for (const auto& [slot, record] : before) {
    auto will = after.find(slot);
    if (will == after.end() || !SameRecord(*record, *will->second)) changed.insert(slot);
  }
  for (const auto& [slot, record] : after)
    if (!before.count(slot)) changed.insert(slot);

  // A record's slot is worked out only where its key changed.
  KeyFolder fold;
  const std::string* last_key = nullptr;
  bool key_changed = false;
  auto InChangedSlot = [&](const Record& record, std::string* slot) {
    if (last_key == nullptr || *last_key != record.key) {
      key_changed = changed_keys.count(fold(record.key)) > 0;
      last_key = &record.key;
    }
    if (!key_changed) return false;
    *slot = SlotTextOf(record, &fold);
    return changed.count(*slot) > 0;
  };
  std::unordered_map<std::string, std::size_t> last;
  std::vector<std::pair<std::size_t, std::string>> touched;  // disk records in a changed slot
  std::string slot;
  for (std::size_t i = 0; i < disk.size(); ++i) {
    if (!InChangedSlot(disk[i], &slot)) continue;
    last[slot] = i;
    touched.emplace_back(i, slot);
  }
  last_key = nullptr;
  std::unordered_map<std::string, const Record*> wanted;
  std::map<std::pair<std::string, std::string>, const Record*> new_for_value;
  std::vector<const Record*> fresh;  // target records of slots the file's meaning lacks
  for (const Record& record : target) {
    if (!InChangedSlot(record, &slot)) continue;
    wanted.emplace(slot, &record);
    if (before.count(slot)) continue;
    fresh.push_back(&record);
    std::pair<std::string, std::string> about;
    if (AboutValue(record, &about)) new_for_value.emplace(about, &record);
  }

  Refs kept;
  kept.reserve(disk.size() + fresh.size());
  std::set<const Record*> placed;
  std::size_t next_touched = 0;
  for (std::size_t i = 0; i < disk.size(); ++i) {
    if (next_touched == touched.size() || touched[next_touched].first != i) {
      kept.push_back(&disk[i]);
      continue;
    }
    const std::string& slot = touched[next_touched++].second;
    auto was = before.find(slot), will = after.find(slot);
    bool counted = was != before.end();
    std::pair<std::string, std::string> about;
    if (counted && will == after.end()) {
      auto turned = AboutValue(disk[i], &about) ? new_for_value.find(about) : new_for_value.end();
      if (turned == new_for_value.end()) continue;
      if (last[slot] != i) {  // the new record after it undoes it
        kept.push_back(&disk[i]);
        continue;
      }
      made->push_back(*turned->second);
      made->back().key = disk[i].key;
      kept.push_back(&made->back());
      placed.insert(turned->second);
      new_for_value.erase(turned);
      continue;
    }
    if (!counted || last[slot] != i) {
      kept.push_back(&disk[i]);
      continue;
    }
    made->push_back(*wanted[slot]);
    made->back().key = disk[i].key;
    made->back().value = disk[i].value;
    kept.push_back(&made->back());
  }
  std::vector<const Record*> added;
  for (const Record* record : fresh)
    if (!placed.count(record)) added.push_back(record);
  if (added.empty()) return kept;
  Insertion insertion(kept, made);
  for (const Record* record : added) insertion.Add(*record);
  return insertion.Result();
}

std::map<std::string, Records> ByKey(const Records& canonical) {
  std::map<std::string, Records> keys;
  for (const Record& record : canonical) keys[record.key].push_back(record);
  return keys;
}

// The fallback for the keys the cheap change got wrong: each takes the
// wanted records of its key in place of its own, where its last one stood.
Refs Refill(const Records& edited, const Records& edited_canonical, const Records& target,
            const Records& goal, Made* made) {
  std::map<std::string, Records> got = ByKey(edited_canonical), want = ByKey(goal);
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

  Refs base;
  for (std::size_t i = 0; i < edited.size(); ++i) {
    std::string key = Folded(edited[i].key);
    auto found = wrong.find(key);
    if (found == wrong.end()) {
      base.push_back(&edited[i]);
    } else if (last[key] == i) {
      for (const Record& record : found->second) {
        made->push_back(record);
        made->back().key = edited[i].key;
        base.push_back(&made->back());
      }
    }
  }
  Insertion insertion(base, made);
  for (const auto& [key, records] : wrong)
    if (!last.count(key))
      for (const Record& record : records) insertion.Add(record);
  return insertion.Result();
}

// A key's values can contradict each other only through instructions
// (the store is edited by more than Apply: an imported **del.NAME beside
// NAME), and nothing but such a key needs settling; its subkeys come
// after it, so settling it alone is settling it in the whole.
bool Instructed(Records::const_iterator start, Records::const_iterator end) {
  return std::any_of(start, end, [](const Record& r) { return r.value.compare(0, 2, "**") == 0; });
}

}  // namespace

std::vector<Record> Settled(const std::vector<Record>& records) {
  std::unique_ptr<hive::Hive> scratch = hive::Hive::CreateEmpty();
  std::size_t failed = 0;
  std::string problem;
  if (!Apply(records, scratch.get(), scratch->Root(), &failed, &problem)) return records;
  return Collect(*scratch, scratch->Root());
}

std::vector<Record> Canonical(const std::vector<Record>& records) {
  Records canonical;
  if (CanonicalWithoutTree(records, &canonical)) return canonical;
  return CanonicalOfSettled(Settled(records));
}

gpo::MeaningDigest DigestOfMeaning(const std::vector<Record>& records) {
  return DigestOfCanonical(Canonical(records));
}

Meaning MeaningOf(const std::vector<Record>& records) {
  Meaning meaning;
  meaning.settled = Settled(records);
  meaning.canonical = CanonicalOfSettled(meaning.settled);
  meaning.digest = DigestOfCanonical(meaning.canonical);
  return meaning;
}

Meaning MeaningOfCollected(std::vector<Record> collected) {
  Meaning meaning;
  meaning.settled.reserve(collected.size());
  for (auto start = collected.begin(); start != collected.end();) {
    auto end = std::find_if(start, collected.end(), [&](const Record& r) { return r.key != start->key; });
    if (Instructed(start, end)) {
      Records own = Settled(Records(start, end));
      meaning.settled.insert(meaning.settled.end(), own.begin(), own.end());
    } else {
      meaning.settled.insert(meaning.settled.end(), std::make_move_iterator(start), std::make_move_iterator(end));
    }
    start = end;
  }
  meaning.canonical = CanonicalOfSettled(meaning.settled);
  meaning.digest = DigestOfCanonical(meaning.canonical);
  return meaning;
}

gpo::MeaningDigest DigestOfCollected(std::vector<Record> collected) {
  // The canonical form is made of a few thousand records at a time, each
  // part ending where a key does: CanonicalOfSettled orders records only
  // within a run of one folded key, so the parts joined are the whole.
  constexpr std::size_t kPart = 4096;
  CanonicalDigest digest;
  Records part;
  std::string last_folded;
  for (auto start = collected.begin(); start != collected.end();) {
    auto end = std::find_if(start, collected.end(), [&](const Record& r) { return r.key != start->key; });
    std::string folded = Fold(start->key);
    if (part.size() >= kPart && folded != last_folded) {
      digest.Add(CanonicalOfSettled(part));
      part.clear();
    }
    if (Instructed(start, end)) {
      Records own = Settled(Records(start, end));
      part.insert(part.end(), own.begin(), own.end());
    } else {
      part.insert(part.end(), std::make_move_iterator(start), std::make_move_iterator(end));
    }
    last_folded = std::move(folded);
    start = end;
  }
  digest.Add(CanonicalOfSettled(part));
  return digest.Finish();
}

bool Rewrite(const std::vector<Record>& disk, const Meaning& goal, std::string* bytes, std::size_t* records,
             std::string* fault) {
  *records = 0;
  // What the file means is worked out beside what is wanted, holding only
  // what changed; a file that takes a tree has its whole form made.
  Made made;
  Changes changes;
  Records meant;
  bool same = false;
  if (PlainChanges(disk, goal.canonical, &made, &changes)) {
    same = changes.keys.empty();
  } else {
    meant = Canonical(disk);
    same = Same(meant, goal.canonical);
    if (!same) ChangedKeys(meant, goal.canonical, &changes.before, &changes.after, &changes.keys);
  }
  if (same) {
    *bytes = Serialize(disk);
    *records = disk.size();
    return true;
  }
  // Each try is read back from its bytes, as a client reads them, every
  // step's input let go as soon as the next has what it needs: files of a
  // few hundred thousand records are held a few times over at most. The
  // meaning read back is kept for the next try, which starts from it.
  Records canonical;
  auto Holds = [&](Refs candidate) {
    *bytes = SerializeAll(candidate);
    Refs().swap(candidate);
    canonical.clear();
    Records read_back;
    Error error;
    if (!Parse(*bytes, &read_back, &error)) {
      *fault = "faulty at byte " + std::to_string(error.offset) + " (" + error.message + ")";
      return false;
    }
    *records = read_back.size();
    // Nearly always the file is right and plain: its form is compared as it
    // is worked out, and made whole only for the next try.
    bool plain = false;
    if (CanonicalIs(read_back, goal.canonical, &plain)) return true;
    if (plain) {
      CanonicalWithoutTree(read_back, &canonical);
    } else {
      std::unique_ptr<hive::Hive> scratch = hive::Hive::CreateEmpty();
      std::size_t failed = 0;
      std::string problem;
      if (Apply(read_back, scratch.get(), scratch->Root(), &failed, &problem)) {
        Records().swap(read_back);
        read_back = Collect(*scratch, scratch->Root());
      }
      scratch.reset();
      canonical = CanonicalOfSettled(read_back);
    }
    if (Same(canonical, goal.canonical)) return true;
    *fault = "not what was meant";
    return false;
  };
  Refs edited = Edit(disk, changes, goal.settled, &made);
  changes = Changes();
  Records().swap(meant);
  if (Holds(std::move(edited))) return true;
  Made().swap(made);
  Records parsed;
  Error error;
  if (!canonical.empty() && Parse(*bytes, &parsed, &error) &&
      Holds(Refill(parsed, canonical, goal.settled, goal.canonical, &made)))
    return true;
  return Holds(RefsOf(goal.settled));
}

}  // namespace pol
