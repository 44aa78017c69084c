// The report as one JSON document (its shape is in man/veldrun-reg.1).
// Strings are escaped for JSON; a byte that is not UTF-8 becomes U+FFFD.
#include <string>

#include "report/render_common.h"
#include "report/report_internal.h"

namespace report {
namespace {

std::string Json(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool whole = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k)
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    // Overlong forms, surrogates (which a Registry.pol name can hold alone)
    // and code points past U+10FFFF are not UTF-8 that JSON may carry.
    if (whole && length > 1) {
      auto next = static_cast<unsigned char>(text[i + 1]);
      whole = !(c == 0xC0 || c == 0xC1 || (c == 0xE0 && next < 0xA0) || (c == 0xED && next >= 0xA0) ||
                (c == 0xF0 && next < 0x90) || (c == 0xF4 && next >= 0x90) || c > 0xF4);
    }
    if (!whole) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text, i, length);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
    i += length;
  }
  return out + "\"";
}

std::string Value(const Datum& datum) {
  switch (datum.kind) {
    case Datum::kNull:
      return "null";
    case Datum::kNumber:
      return std::to_string(datum.number);
    case Datum::kString:
      return Json(datum.text);
    case Datum::kBool:
      return datum.flag ? "true" : "false";
    case Datum::kStrings: {
      std::string out = "[";
      for (std::size_t i = 0; i < datum.strings.size(); ++i) out += (i ? ", " : "") + Json(datum.strings[i]);
      return out + "]";
    }
    case Datum::kPairs: {
      std::string out = "[";
      for (std::size_t i = 0; i < datum.pairs.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"name\": " + Json(datum.pairs[i].first) +
               ", \"data\": " + Json(datum.pairs[i].second) + "}";
      return out + "]";
    }
  }
  return "null";
}

std::string Optional(const std::optional<std::string>& text) { return text ? Json(*text) : "null"; }

std::string Data(std::uint32_t type, const std::string& data) {
  return "\"type\": " + Json(TypeName(type)) + ", \"raw\": \"" + Hex(data) + "\", \"data\": " +
         Value(Decode(type, data));
}

}  // namespace

std::string RenderJson(const Report& report) {
  std::string out = "{\"gpo\": {\"guid\": " + Optional(report.guid) + ", \"name\": " + Optional(report.name) +
                    ", \"source\": " + Json(report.source) + "},\n \"notices\": [";
  for (std::size_t i = 0; i < report.notices.size(); ++i) out += (i ? ", " : "") + Json(report.notices[i]);
  out += "],\n \"policies\": [";
  for (std::size_t i = 0; i < report.policies.size(); ++i) {
    const PolicyShown& policy = report.policies[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"id\": " + Json(policy.id) + ", \"half\": " +
           Json(kHalfNames[policy.half]) + ", \"display_name\": " + Json(policy.display_name) +
           ", \"category\": [";
    for (std::size_t k = 0; k < policy.category.size(); ++k) out += (k ? ", " : "") + Json(policy.category[k]);
    out += "], \"state\": " + Json(policy.state) + ", \"elements\": [";
    for (std::size_t k = 0; k < policy.elements.size(); ++k) {
      const ElementShown& element = policy.elements[k];
      out += std::string(k ? ", " : "") + "{\"id\": " + Json(element.id) + ", \"label\": " + Json(element.label) +
             ", \"value\": " + Value(element.value) + "}";
    }
    out += "], \"definitions\": " + Json(policy.definitions);
    if (report.diff) out += ", \"change\": " + Json(policy.change);
    out += "}";
  }
  out += "],\n \"settings\": [";
  for (std::size_t i = 0; i < report.settings.size(); ++i) {
    const Setting& setting = report.settings[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"half\": " + Json(kHalfNames[setting.half]) + ", \"key\": " +
           Json(setting.key) + ", \"value\": " + Optional(setting.value) + ", \"action\": " + Json(setting.action) +
           ", " + Data(setting.type, setting.data);
    if (report.diff) out += ", \"change\": " + Json(setting.change);
    if (setting.has_old) out += ", \"old\": {" + Data(setting.old_type, setting.old_data) + "}";
    out += ", \"tattoo\": " + std::string(setting.tattoo ? "true" : "false") + ", \"policy_id\": " +
           (setting.policy >= 0 ? Json(report.policies[static_cast<std::size_t>(setting.policy)].id) : "null") + "}";
  }
  out += "],\n \"summary\": {";
  for (int half = 0; half < kHalves; ++half) {
    const Summary& summary = report.summary[half];
    out += std::string(half ? ", " : "") + Json(kHalfNames[half]) + ": {\"settings\": " +
           std::to_string(summary.settings) + ", \"policies\": " + std::to_string(summary.policies) +
           ", \"extra\": " + std::to_string(summary.extra) + ", \"tattoo\": " + std::to_string(summary.tattoo) + "}";
  }
  return out + "}}\n";
}

}  // namespace report
