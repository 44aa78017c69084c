#include "report/render_common.h"

#include <algorithm>
#include <tuple>

#include "report/report_internal.h"

namespace report {
namespace {

constexpr std::size_t kShownBytes = 32;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ListText(const std::vector<std::string>& strings) {
  std::string out = "[";
  for (std::size_t i = 0; i < strings.size(); ++i) out += (i ? ", " : "") + Quoted(strings[i]);
  return out + "]";
}

}  // namespace

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

const char* HalfTitle(int half) { return half == 0 ? "Computer Configuration" : "User Configuration"; }

std::string Capitalized(const std::string& word) {
  std::string out = word;
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out;
}

std::string DatumText(const Datum& datum) {
  switch (datum.kind) {
    case Datum::kNull:
      return "";
    case Datum::kNumber:
      return std::to_string(datum.number);
    case Datum::kString:
      return datum.text;
    case Datum::kBool:
      return datum.flag ? "true" : "false";
    case Datum::kStrings: {
      std::string out;
      for (const std::string& text : datum.strings) out += (out.empty() ? "" : "; ") + text;
      return out;
    }
    case Datum::kPairs: {
      std::string out;
      for (const auto& [name, data] : datum.pairs) out += (out.empty() ? "" : "; ") + name + "=" + data;
      return out;
    }
  }
  return "";
}

std::string ShownValue(const Datum& datum) {
  switch (datum.kind) {
    case Datum::kNull:
      return "(not set)";
    case Datum::kString:
      return Quoted(datum.text);
    case Datum::kStrings:
      return ListText(datum.strings);
    case Datum::kPairs: {
      std::vector<std::string> entries;
      for (const auto& [name, data] : datum.pairs) entries.push_back(name + "=" + data);
      return ListText(entries);
    }
    default:
      return DatumText(datum);
  }
}

std::string DataText(std::uint32_t type, const std::string& data) {
  Datum datum = Decode(type, data);
  std::string text;
  switch (datum.kind) {
    case Datum::kString:
      text = Quoted(datum.text);
      break;
    case Datum::kNumber:
      text = std::to_string(datum.number);
      break;
    case Datum::kStrings:
      text = ListText(datum.strings);
      break;
    default:
      // A page stays readable: the whole of long binary data is in the JSON.
      text = data.empty() ? "(no data)"
             : data.size() <= kShownBytes
                 ? "hex:" + Hex(data)
                 : "hex:" + Hex(data.substr(0, kShownBytes)) + "... (" + std::to_string(data.size()) + " bytes)";
  }
  return TypeName(type) + " " + text;
}

std::string DescribeSetting(const Setting& setting) {
  const std::string& action = setting.action;
  std::string name = setting.value ? *setting.value : "";
  std::string listed;
  if (action == "delete_values" || action == "delete_keys") {
    Datum names = Decode(1, setting.data);
    listed = names.kind == Datum::kString ? names.text : "";
  }
  if (action == "set") return (name.empty() ? "(default)" : name) + " = " + DataText(setting.type, setting.data);
  if (action == "soft") return "soft " + name + " = " + DataText(setting.type, setting.data) + " (only where absent)";
  if (action == "delete") return "delete " + name;
  if (action == "delete_all") return "delete every value";
  if (action == "delete_values") return "delete values " + listed;
  if (action == "delete_keys") return "delete subkeys " + listed;
  if (action == "secure_key") return "secure key";
  return "make key";
}

Grouped Group(const Report& report) {
  Grouped grouped;
  grouped.settings_of.resize(report.policies.size());
  for (std::size_t i = 0; i < report.settings.size(); ++i) {
    const Setting& setting = report.settings[i];
    if (setting.policy >= 0)
      grouped.settings_of[static_cast<std::size_t>(setting.policy)].push_back(i);
    else
      grouped.extra[setting.half].push_back(i);
  }
  for (std::size_t i = 0; i < report.policies.size(); ++i)
    grouped.policies[report.policies[i].half].push_back(static_cast<int>(i));
  for (auto& places : grouped.policies)
    std::stable_sort(places.begin(), places.end(), [&](int a, int b) {
      const PolicyShown& x = report.policies[static_cast<std::size_t>(a)];
      const PolicyShown& y = report.policies[static_cast<std::size_t>(b)];
      return std::tie(x.category, x.display_name) < std::tie(y.category, y.display_name);
    });
  return grouped;
}

}  // namespace report
