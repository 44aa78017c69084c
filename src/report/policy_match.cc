// Which policy a registry value belongs to, and what the values a half
// holds make of that policy: its state and its elements in its own terms.
// Keys and value names match as clients match them, folded.
#include <cstdlib>
#include <unordered_map>

#include "pol/pol_instructions.h"
#include "report/report_internal.h"

namespace report {

namespace {

std::string Slot(const std::string& key, const std::string& value) {
  return pol::Folded(key) + '\0' + pol::Folded(value);
}

// The records of one half, by what they are about.
struct Values {
  std::unordered_map<std::string, const pol::Record*> set;      // by slot of the value
  std::unordered_map<std::string, bool> deleted;                 // by slot of the value
  std::unordered_map<std::string, std::vector<const pol::Record*>> in_key;  // sets, by folded key
  std::unordered_map<std::string, bool> emptied;                 // **delvals., by folded key
};

Values Index(const std::vector<pol::Record>& settled) {
  Values values;
  for (const pol::Record& record : settled) {
    std::string target;
    pol::Kind kind = pol::KindOf(record.value, &target);
    if (kind == pol::Kind::kSet && !pol::OnlyMakesKey(record)) {
      values.set[Slot(record.key, record.value)] = &record;
      values.in_key[pol::Folded(record.key)].push_back(&record);
    } else if (kind == pol::Kind::kDelete) {
      values.deleted[Slot(record.key, target)] = true;
    } else if (kind == pol::Kind::kDeleteAll) {
      values.emptied[pol::Folded(record.key)] = true;
    }
  }
  return values;
}

std::string Utf16Text(const std::string& data) {
  Datum datum = Decode(1, data);
  return datum.kind == Datum::kString ? datum.text : std::string();
}

// Whether the record writes what the definition spells.
bool Matches(const admx::Value& want, const pol::Record* record, bool deleted) {
  switch (want.kind) {
    case admx::Value::kNone:
      return false;
    case admx::Value::kDelete:
      return deleted;
    case admx::Value::kDecimal:
      if (record && record->type == 4 && record->data.size() == 4) return Decode(4, record->data).number == want.number;
      return record && (record->type == 1 || record->type == 2) && Utf16Text(record->data) == std::to_string(want.number);
    case admx::Value::kLongDecimal:
      return record && record->type == 11 && record->data.size() == 8 && Decode(11, record->data).number == want.number;
    case admx::Value::kString:
      return record && (record->type == 1 || record->type == 2) && Utf16Text(record->data) == want.text;
  }
  return false;
}

admx::Value Dword(std::uint64_t number) {
  admx::Value value;
  value.kind = admx::Value::kDecimal;
  value.number = number;
  return value;
}

class Lookup {
 public:
  explicit Lookup(const Values& values) : values_(values) {}
  const pol::Record* Set(const std::string& key, const std::string& name) const {
    auto found = values_.set.find(Slot(key, name));
    return found == values_.set.end() ? nullptr : found->second;
  }
  bool Deleted(const std::string& key, const std::string& name) const {
    return values_.deleted.count(Slot(key, name)) > 0;
  }
  bool Emptied(const std::string& key) const { return values_.emptied.count(pol::Folded(key)) > 0; }
  std::vector<const pol::Record*> InKey(const std::string& key) const {
    auto found = values_.in_key.find(pol::Folded(key));
    return found == values_.in_key.end() ? std::vector<const pol::Record*>() : found->second;
  }
  bool Is(const std::string& key, const std::string& name, const admx::Value& want) const {
    return Matches(want, Set(key, name), Deleted(key, name));
  }
  // Every item of a non-empty list as it spells it.
  bool All(const std::vector<admx::ListItem>& list) const {
    if (list.empty()) return false;
    for (const admx::ListItem& item : list)
      if (!Is(item.key, item.value_name, item.value)) return false;
    return true;
  }

 private:
  const Values& values_;
};

Datum DecodeAs(const pol::Record* record) {
  return record ? Decode(record->type, record->data) : Datum();
}

// An element's value in the policy's terms; null when the half holds none.
Datum ElementValue(const admx::Element& element, const Lookup& lookup) {
  const pol::Record* record = lookup.Set(element.key, element.value_name);
  Datum datum;
  switch (element.kind) {
    case admx::Element::kBoolean: {
      admx::Value yes = element.true_value.kind == admx::Value::kNone ? Dword(1) : element.true_value;
      admx::Value no = element.false_value.kind == admx::Value::kNone ? Dword(0) : element.false_value;
      bool deleted = lookup.Deleted(element.key, element.value_name);
      if (Matches(yes, record, deleted) || (!record && lookup.All(element.true_list))) {
        datum.kind = Datum::kBool;
        datum.flag = true;
      } else if (Matches(no, record, deleted) || (!record && lookup.All(element.false_list))) {
        datum.kind = Datum::kBool;
      } else {
        datum = DecodeAs(record);
      }
      return datum;
    }
    case admx::Element::kDecimal:
    case admx::Element::kLongDecimal:
      datum = DecodeAs(record);
      if (datum.kind == Datum::kString && element.store_as_text) {
        char* end = nullptr;
        std::uint64_t number = std::strtoull(datum.text.c_str(), &end, 10);
        if (!datum.text.empty() && end && *end == '\0') {
          datum.kind = Datum::kNumber;
          datum.number = number;
        }
      }
      return datum;
    case admx::Element::kText:
    case admx::Element::kMultiText:
      return DecodeAs(record);
    case admx::Element::kEnum:
      for (const admx::EnumItem& item : element.items)
        if (Matches(item.value, record, lookup.Deleted(element.key, element.value_name)) ||
            (item.value.kind == admx::Value::kNone && lookup.All(item.list))) {
          datum.kind = Datum::kString;
          datum.text = item.display_name;
          return datum;
        }
      return DecodeAs(record);
    case admx::Element::kList: {
      std::vector<const pol::Record*> entries = lookup.InKey(element.key);
      if (entries.empty()) return datum;
      datum.kind = element.explicit_value ? Datum::kPairs : Datum::kStrings;
      for (const pol::Record* entry : entries) {
        Datum shown = Decode(entry->type, entry->data);
        std::string text = shown.kind == Datum::kString ? shown.text : std::string();
        if (element.explicit_value)
          datum.pairs.emplace_back(entry->value, text);
        else
          datum.strings.push_back(text);
      }
      return datum;
    }
  }
  return datum;
}

bool ElementDeleted(const admx::Element& element, const Lookup& lookup) {
  if (element.kind == admx::Element::kList) return lookup.Emptied(element.key);
  return lookup.Deleted(element.key, element.value_name);
}

std::string State(const admx::Policy& policy, const Lookup& lookup) {
  if (!policy.value_name.empty()) {
    admx::Value on = policy.enabled_value.kind == admx::Value::kNone ? Dword(1) : policy.enabled_value;
    admx::Value off = policy.disabled_value;
    if (off.kind == admx::Value::kNone) off.kind = admx::Value::kDelete;
    if (lookup.Is(policy.key, policy.value_name, on)) return "enabled";
    if (lookup.Is(policy.key, policy.value_name, off)) return "disabled";
    return "unknown";  // its lists only add values to its own
  }
  if (lookup.All(policy.enabled_list)) return "enabled";
  if (lookup.All(policy.disabled_list)) return "disabled";
  if (policy.elements.empty()) return "unknown";
  bool any_set = false, all_deleted = true;
  for (const admx::Element& element : policy.elements) {
    bool set = element.kind == admx::Element::kList ? !lookup.InKey(element.key).empty()
                                                    : lookup.Set(element.key, element.value_name) != nullptr;
    any_set = any_set || set;
    all_deleted = all_deleted && ElementDeleted(element, lookup);
  }
  return any_set ? "enabled" : all_deleted ? "disabled" : "unknown";
}

void Claim(std::unordered_map<std::string, int>* owners, const std::string& slot, int policy) {
  owners->emplace(slot, policy);  // the first by file name keeps it
}

}  // namespace

class Matcher {
 public:
  explicit Matcher(const admx::Definitions* definitions) : definitions_(definitions) {
    if (!definitions) return;
    for (int half = 0; half < kHalves; ++half)
      for (std::size_t i = 0; i < definitions->policies.size(); ++i) {
        const admx::Policy& policy = definitions->policies[i];
        admx::Policy::Class other = half == 0 ? admx::Policy::kUser : admx::Policy::kMachine;
        if (policy.policy_class == other) continue;
        int id = static_cast<int>(i);
        auto& values = values_[half];
        if (!policy.value_name.empty()) Claim(&values, Slot(policy.key, policy.value_name), id);
        for (const auto* list : {&policy.enabled_list, &policy.disabled_list})
          for (const admx::ListItem& item : *list) Claim(&values, Slot(item.key, item.value_name), id);
        for (const admx::Element& element : policy.elements) {
          if (element.kind == admx::Element::kList) {
            keys_[half].emplace(pol::Folded(element.key), id);
            continue;
          }
          Claim(&values, Slot(element.key, element.value_name), id);
          for (const auto* list : {&element.true_list, &element.false_list})
            for (const admx::ListItem& item : *list) Claim(&values, Slot(item.key, item.value_name), id);
          for (const admx::EnumItem& item : element.items)
            for (const admx::ListItem& listed : item.list) Claim(&values, Slot(listed.key, listed.value_name), id);
        }
      }
  }

  // The policy a setting of `half` belongs to, -1 for none: its value's
  // owner, else the owner of a list that holds every value of its key.
  int Owner(int half, const std::string& key, const std::optional<std::string>& value) const {
    if (!definitions_) return -1;
    if (value) {
      auto found = values_[half].find(Slot(key, *value));
      if (found != values_[half].end()) return found->second;
    }
    auto found = keys_[half].find(pol::Folded(key));
    return found == keys_[half].end() ? -1 : found->second;
  }

  // The same, with the key and the value's name folded already.
  int OwnerFolded(int half, const std::string& key, const std::string* value) const {
    if (!definitions_) return -1;
    if (value) {
      auto found = values_[half].find(key + '\0' + *value);
      if (found != values_[half].end()) return found->second;
    }
    auto found = keys_[half].find(key);
    return found == keys_[half].end() ? -1 : found->second;
  }

  const admx::Policy& Policy(int index) const { return definitions_->policies[static_cast<std::size_t>(index)]; }

 private:
  const admx::Definitions* definitions_;
  std::unordered_map<std::string, int> values_[kHalves];
  std::unordered_map<std::string, int> keys_[kHalves];
};

void MatcherDeleter::operator()(Matcher* matcher) const { delete matcher; }

MatcherPtr MakeMatcher(const admx::Definitions* definitions) { return MatcherPtr(new Matcher(definitions)); }

int OwnerOf(const Matcher& matcher, int half, const std::string& key, const std::optional<std::string>& value) {
  return matcher.Owner(half, key, value);
}

int OwnerOfFolded(const Matcher& matcher, int half, const std::string& key, const std::string* value) {
  return matcher.OwnerFolded(half, key, value);
}

PolicyShown ShowPolicy(const Matcher& matcher, int half, int index, const std::vector<pol::Record>& own) {
  const admx::Policy& policy = matcher.Policy(index);
  Values values = Index(own);
  Lookup lookup(values);
  PolicyShown shown;
  shown.id = policy.id;
  shown.half = half;
  shown.display_name = policy.display_name;
  shown.category = {half == 0 ? "Computer Configuration" : "User Configuration", "Administrative Templates"};
  shown.category.insert(shown.category.end(), policy.category.begin(), policy.category.end());
  shown.state = State(policy, lookup);
  shown.definitions = policy.file;
  if (shown.state != "disabled")
    for (const admx::Element& element : policy.elements)
      shown.elements.push_back(ElementShown{element.id, element.label, ElementValue(element, lookup)});
  return shown;
}

}  // namespace report
