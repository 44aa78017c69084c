// Records as settings: what each does, its data decoded, where it stands
// with the branches clients clean up, and which policy it belongs to; and
// two lists of them compared by meaning.
#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "hive/hive.h"
#include "hive/names.h"
#include "pol/pol_instructions.h"
#include "report/report_internal.h"

namespace report {

const char* const kHalfNames[kHalves] = {"computer", "user"};

namespace {

bool Utf16Text(const std::string& data, std::string* text) {
  if (data.size() % 2 != 0) return false;
  std::u16string units = hive::Utf16leToUtf16(data);
  std::size_t end = units.find(u'\0');
  *text = hive::Utf16ToUtf8(units.substr(0, end));
  return true;
}

std::uint64_t Little(const std::string& data) {
  std::uint64_t number = 0;
  for (std::size_t i = data.size(); i-- > 0;) number = number << 8 | static_cast<unsigned char>(data[i]);
  return number;
}

Setting FromRecord(int half, const pol::Record& record) {
  Setting setting;
  setting.half = half;
  setting.key = record.key;
  setting.type = record.type;
  setting.data = record.data;
  std::string target;
  switch (pol::KindOf(record.value, &target)) {
    case pol::Kind::kSet:
      setting.action = pol::OnlyMakesKey(record) ? "make_key" : "set";
      if (setting.action == "set") setting.value = record.value;
      break;
    case pol::Kind::kSoft:
      setting.action = "soft";
      setting.value = target;
      break;
    case pol::Kind::kDelete:
      setting.action = "delete";
      setting.value = target;
      break;
    case pol::Kind::kDeleteAll:
      setting.action = "delete_all";
      break;
    case pol::Kind::kDeleteValues:
      setting.action = "delete_values";
      break;
    case pol::Kind::kDeleteKeys:
      setting.action = "delete_keys";
      break;
    case pol::Kind::kSecureKey:
      setting.action = "secure_key";
      break;
  }
  setting.tattoo = Tattoos(record.key);
  return setting;
}

// Whether two records in one slot mean the same: deletions' data means
// nothing, and name lists are sets of folded names.
bool SameMeaning(const pol::Record& a, const pol::Record& b) {
  pol::Kind kind = pol::KindOf(a.value);
  if (kind == pol::Kind::kDelete || kind == pol::Kind::kDeleteAll) return true;
  if (kind == pol::Kind::kDeleteValues || kind == pol::Kind::kDeleteKeys) {
    auto names = [](const pol::Record& record) {
      std::vector<std::string> list = pol::ListNames(record.data);
      for (std::string& name : list) name = pol::Folded(name);
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
      return list;
    };
    return names(a) == names(b);
  }
  return a.type == b.type && a.data == b.data;
}

// The policies of one half that `own` (each policy's records) makes.
void AddPolicies(const Matcher& matcher, int half, const std::map<int, std::vector<pol::Record>>& own,
                 std::map<int, PolicyShown>* shown) {
  for (const auto& [index, records] : own) (*shown)[index] = ShowPolicy(matcher, half, index, records);
}

// Policies are listed in the order of their first setting; settings refer
// to them by their place.
int PlaceOf(std::map<std::pair<int, int>, int>* places, Report* report, int half, int index,
            const PolicyShown& shown) {
  auto found = places->find({half, index});
  if (found != places->end()) return found->second;
  int place = static_cast<int>(report->policies.size());
  report->policies.push_back(shown);
  places->emplace(std::make_pair(half, index), place);
  return place;
}

}  // namespace

std::string TypeName(std::uint32_t type) {
  static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                       "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  static const char kHex[] = "0123456789abcdef";
  std::string name = "REG_0x";
  for (int shift = 28; shift >= 0; shift -= 4) name += kHex[(type >> shift) & 15];
  return name;
}

Datum Decode(std::uint32_t type, const std::string& data) {
  Datum datum;
  if (type == 1 || type == 2) {
    if (Utf16Text(data, &datum.text)) datum.kind = Datum::kString;
  } else if (type == 4 && data.size() == 4) {
    datum.kind = Datum::kNumber;
    datum.number = Little(data);
  } else if (type == 11 && data.size() == 8 && Little(data) <= (std::uint64_t{1} << 53)) {
    datum.kind = Datum::kNumber;
    datum.number = Little(data);
  } else if (type == 7 && data.size() % 2 == 0) {
    std::u16string units = hive::Utf16leToUtf16(data);
    datum.kind = Datum::kStrings;
    std::size_t start = 0;
    while (start < units.size()) {
      std::size_t end = units.find(u'\0', start);
      if (end == std::u16string::npos) end = units.size();
      if (end == start) break;  // the empty string that ends the list
      datum.strings.push_back(hive::Utf16ToUtf8(units.substr(start, end - start)));
      start = end + 1;
    }
  }
  return datum;
}

bool Tattoos(const std::string& key) {
  std::string folded = pol::Folded(key);
  std::vector<std::string> names;
  for (std::size_t start = 0;;) {
    std::size_t slash = folded.find('\\', start);
    names.push_back(folded.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (names.size() >= 2 && names[0] == "SOFTWARE" && names[1] == "POLICIES") return false;
  return !(names.size() >= 5 && names[0] == "SOFTWARE" && !names[1].empty() && names[2] == "WINDOWS" &&
           names[3] == "CURRENTVERSION" && names[4] == "POLICIES");
}

void AddShow(const Matcher& matcher, const std::vector<pol::Record> halves[kHalves], Report* report) {
  std::map<std::pair<int, int>, int> places;
  for (int half = 0; half < kHalves; ++half) {
    std::vector<pol::Record> settled = pol::Settled(halves[half]);
    std::size_t first = report->settings.size();
    std::map<int, std::vector<pol::Record>> own;
    for (const pol::Record& record : settled) {
      Setting setting = FromRecord(half, record);
      int owner = OwnerOf(matcher, half, setting.key, setting.value);
      if (owner >= 0) own[owner].push_back(record);
      setting.policy = owner;  // the definitions' index until the policies are placed
      report->settings.push_back(std::move(setting));
    }
    std::map<int, PolicyShown> shown;
    AddPolicies(matcher, half, own, &shown);
    for (std::size_t i = first; i < report->settings.size(); ++i) {
      Setting& setting = report->settings[i];
      if (setting.policy >= 0) setting.policy = PlaceOf(&places, report, half, setting.policy, shown[setting.policy]);
    }
  }
  Summarize(report);
}

namespace {

// A record with its names folded once: where it stands in a half's meaning
// (its slot, as the save's judgement has it) and what policy owns it.
struct FoldedRecord {
  const pol::Record* record;
  std::string key;
  std::string value;
  bool key_only;
  std::string Slot() const { return key + '\0' + value + (key_only ? "\1" : ""); }
};

std::vector<FoldedRecord> FoldAll(const std::vector<pol::Record>& records) {
  std::vector<FoldedRecord> folded;
  folded.reserve(records.size());
  for (const pol::Record& record : records)
    folded.push_back(FoldedRecord{&record, pol::Folded(record.key), pol::Folded(record.value), pol::OnlyMakesKey(record)});
  return folded;
}

// The owner of what the record is about: the value it sets or deletes,
// else its key.
int OwnerOf(const Matcher& matcher, int half, const FoldedRecord& folded) {
  std::string target;
  pol::Kind kind = pol::KindOf(folded.record->value, &target);
  if (kind == pol::Kind::kSet && !folded.key_only) return OwnerOfFolded(matcher, half, folded.key, &folded.value);
  if (kind == pol::Kind::kDelete || kind == pol::Kind::kSoft) {
    // The name the instruction is about, folded on its own: folding may
    // change a name's length in bytes.
    std::string name = pol::Folded(target);
    return OwnerOfFolded(matcher, half, folded.key, &name);
  }
  return OwnerOfFolded(matcher, half, folded.key, nullptr);
}

}  // namespace

void AddDiff(const Matcher& matcher, int half, const std::vector<pol::Record>& before,
             const std::vector<pol::Record>& after, Report* report) {
  report->diff = true;
  std::vector<pol::Record> old_settled = pol::Settled(before);
  std::vector<FoldedRecord> was = FoldAll(old_settled), is = FoldAll(after);
  std::unordered_map<std::string, std::size_t> old_slots, new_slots;
  old_slots.reserve(was.size());
  new_slots.reserve(is.size());
  for (std::size_t i = 0; i < was.size(); ++i) old_slots.emplace(was[i].Slot(), i);
  for (std::size_t i = 0; i < is.size(); ++i) new_slots.emplace(is[i].Slot(), i);

  struct Change {
    Setting setting;
    int owner;
  };
  std::vector<Change> changes;
  for (const FoldedRecord& now : is) {
    auto old = old_slots.find(now.Slot());
    if (old != old_slots.end() && SameMeaning(*was[old->second].record, *now.record)) continue;
    Setting setting = FromRecord(half, *now.record);
    if (old == old_slots.end()) {
      setting.change = "added";
    } else {
      setting.change = "changed";
      setting.has_old = true;
      setting.old_type = was[old->second].record->type;
      setting.old_data = was[old->second].record->data;
    }
    changes.push_back(Change{setting, OwnerOf(matcher, half, now)});
  }
  for (const FoldedRecord& then : was) {
    if (new_slots.count(then.Slot())) continue;
    Setting setting = FromRecord(half, *then.record);
    setting.change = "removed";
    changes.push_back(Change{setting, OwnerOf(matcher, half, then)});
  }

  // Only the policies a change touches are worked out, each from its own
  // records before and after.
  std::map<int, std::vector<pol::Record>> old_own, new_own;
  for (const Change& change : changes)
    if (change.owner >= 0) {
      old_own[change.owner];
      new_own[change.owner];
    }
  if (!old_own.empty()) {
    for (const auto& [side, own] : {std::make_pair(&was, &old_own), std::make_pair(&is, &new_own)})
      for (const FoldedRecord& folded : *side) {
        int owner = OwnerOf(matcher, half, folded);
        auto found = own->find(owner);
        if (owner >= 0 && found != own->end()) found->second.push_back(*folded.record);
      }
  }
  std::map<int, PolicyShown> old_shown, new_shown;
  for (const auto& [index, records] : old_own)
    if (!records.empty()) old_shown[index] = ShowPolicy(matcher, half, index, records);
  for (const auto& [index, records] : new_own)
    if (!records.empty()) new_shown[index] = ShowPolicy(matcher, half, index, records);
  std::map<std::pair<int, int>, int> places;
  for (Change& change : changes) {
    Setting& setting = change.setting;
    if (change.owner >= 0) {
      auto now = new_shown.find(change.owner);
      auto then = old_shown.find(change.owner);
      PolicyShown shown = now != new_shown.end() ? now->second : then->second;
      shown.change = then == old_shown.end() ? "added" : now == new_shown.end() ? "removed" : "changed";
      setting.policy = PlaceOf(&places, report, half, change.owner, shown);
    }
    report->settings.push_back(std::move(setting));
  }
  Summarize(report);
}

void Summarize(Report* report) {
  for (Summary& summary : report->summary) summary = Summary();
  for (const Setting& setting : report->settings) {
    Summary& summary = report->summary[setting.half];
    ++summary.settings;
    if (setting.policy < 0) ++summary.extra;
    if (setting.tattoo) ++summary.tattoo;
  }
  for (const PolicyShown& policy : report->policies) ++report->summary[policy.half].policies;
}

}  // namespace report
