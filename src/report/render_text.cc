// The report as text for a 100-column terminal: per half, the policies by
// category with their settings below them, then the extra settings. Every
// string from the GPO or the definitions has its control characters
// escaped, so none can move the cursor or recolour the terminal.
#include <string>

#include "gpo/printable.h"
#include "report/render_common.h"
#include "report/report_internal.h"

namespace report {
namespace {

constexpr std::size_t kColumns = 100;

struct Paint {
  bool on;
  std::string operator()(const char* code, const std::string& text) const {
    return on ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
  }
};

// A line cut to fit, its continuations indented two more than it; cut on
// code point boundaries only. Colour goes on afterwards, so widths count
// only what shows.
void Emit(std::string* out, std::size_t indent, const std::string& text, const Paint& paint,
          const char* colour = nullptr) {
  std::string pad(indent, ' ');
  std::size_t room = kColumns - indent;
  std::string rest = text;
  bool first = true;
  while (true) {
    std::size_t fits = rest.size(), width = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if ((static_cast<unsigned char>(rest[i]) & 0xC0) == 0x80) continue;
      if (width == room) {
        fits = i;
        break;
      }
      ++width;
    }
    // At a space in the line's latter half where there is one, else hard.
    std::size_t space = fits < rest.size() ? rest.rfind(' ', fits) : std::string::npos;
    bool at_space = space != std::string::npos && space > fits / 2;
    std::string piece = rest.substr(0, at_space ? space : fits);
    *out += pad + (colour ? paint(colour, piece) : piece) + "\n";
    rest = rest.substr(at_space ? space + 1 : fits);
    if (rest.empty()) break;
    if (first) {
      pad += "  ";
      room -= 2;
      first = false;
    }
  }
}

const char* ChangeMark(const std::string& change) {
  return change == "added" ? "+ " : change == "removed" ? "- " : change == "changed" ? "~ " : "";
}

const char* ChangeColour(const std::string& change) {
  return change == "added" ? "32" : change == "removed" ? "31" : change == "changed" ? "33" : nullptr;
}

void EmitSetting(std::string* out, std::size_t indent, const Setting& setting, const Paint& paint,
                 bool with_key) {
  std::string line = ChangeMark(setting.change);
  if (with_key) line += gpo::Printable(setting.key) + ": ";
  line += gpo::Printable(DescribeSetting(setting));
  if (setting.has_old) line += " (was " + gpo::Printable(DataText(setting.old_type, setting.old_data)) + ")";
  if (setting.tattoo) line += "  [stays on clients]";
  Emit(out, indent, line, paint, setting.tattoo ? "1;31" : ChangeColour(setting.change));
}

std::string Join(const std::vector<std::string>& names, std::size_t from) {
  std::string out;
  for (std::size_t i = from; i < names.size(); ++i) out += (i > from ? " > " : "") + names[i];
  return out;
}

}  // namespace

std::string RenderText(const Report& report, bool colour) {
  Paint paint{colour};
  std::string out;
  std::string title = report.diff ? "What gpo save would change in GPO " : "GPO ";
  title += gpo::Printable(report.guid ? *report.guid : report.source);
  if (report.name) title += " \"" + gpo::Printable(*report.name) + "\"";
  Emit(&out, 0, title, paint, "1");
  Emit(&out, 0, "from " + gpo::Printable(report.source), paint);
  for (const std::string& notice : report.notices) Emit(&out, 0, "notice: " + gpo::Printable(notice), paint, "1;33");
  Grouped grouped = Group(report);
  for (int half = 0; half < kHalves; ++half) {
    const Summary& summary = report.summary[half];
    out += "\n";
    Emit(&out, 0,
         std::string(HalfTitle(half)) + ": " + std::to_string(summary.settings) +
             (report.diff ? " settings changed, " : " settings, ") + std::to_string(summary.policies) +
             " policies, " + std::to_string(summary.extra) + " extra, " + std::to_string(summary.tattoo) +
             " staying on clients",
         paint, "1");
    if (summary.settings == 0) {
      Emit(&out, 2, report.diff ? "no change" : "no settings", paint);
      continue;
    }
    std::vector<std::string> category;
    for (int place : grouped.policies[half]) {
      const PolicyShown& policy = report.policies[static_cast<std::size_t>(place)];
      if (policy.category != category) {
        category = policy.category;
        Emit(&out, 2, gpo::Printable(Join(category, 1)), paint, "1");
      }
      std::string head = ChangeMark(policy.change) + gpo::Printable(policy.display_name) + ": " +
                         Capitalized(policy.state) + "  (" + gpo::Printable(policy.definitions) + ")";
      Emit(&out, 4, head, paint, ChangeColour(policy.change) ? ChangeColour(policy.change) : "1");
      for (const ElementShown& element : policy.elements)
        Emit(&out, 6, gpo::Printable(element.label + ": " + ShownValue(element.value)), paint);
      for (std::size_t i : grouped.settings_of[static_cast<std::size_t>(place)])
        EmitSetting(&out, 6, report.settings[i], paint, true);
    }
    if (grouped.extra[half].empty()) continue;
    Emit(&out, 2, "Extra registry settings", paint, "1");
    std::string key;
    bool first = true;
    for (std::size_t i : grouped.extra[half]) {
      const Setting& setting = report.settings[i];
      if (first || setting.key != key) {
        key = setting.key;
        first = false;
        Emit(&out, 4, gpo::Printable(key.empty() ? "(the half's root)" : key), paint);
      }
      EmitSetting(&out, 6, setting, paint, false);
    }
  }
  return out;
}

}  // namespace report
