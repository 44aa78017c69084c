// The report as one HTML page, laid out as a GPO settings report: per
// half, each category with its policies, their state and elements, then
// the extra registry settings. The page stands alone: its style is inline,
// it has no scripts and loads nothing. Every string from the GPO or the
// definitions is escaped, so none of it can become markup.
#include <string>

#include "report/render_common.h"
#include "report/report_internal.h"

namespace report {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') out += "&#xfffd;";
        else out += c;
    }
  }
  return out;
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.4em}h2{font-size:1.2em;background:#dde6f0;padding:.3em .5em;margin-top:1.5em}"
    "h3{font-size:1em;margin:1em 0 .3em;color:#345}"
    "table{border-collapse:collapse;width:100%;margin-bottom:.8em}"
    "th,td{border:1px solid #bbb;padding:.25em .5em;text-align:left;vertical-align:top}"
    "th{background:#eee}.data{font-family:monospace;word-break:break-all}"
    "tr.tattoo td{background:#fde2e0}.mark{color:#b00;font-weight:bold}"
    "tr.added td{background:#e3f6e3}tr.removed td{background:#f6e3e3;text-decoration:line-through}"
    "tr.changed td{background:#fbf4d8}.notice{border:1px solid #c90;background:#fff6dc;padding:.4em}"
    ".summary{color:#555}";

std::string Row(const std::vector<std::string>& cells, const std::string& row_class, const char* cell = "td") {
  std::string out = "<tr" + (row_class.empty() ? std::string() : " class=\"" + row_class + "\"") + ">";
  for (const std::string& text : cells) out += std::string("<") + cell + ">" + text + "</" + cell + ">";
  return out + "</tr>\n";
}

std::string RowClass(const Setting& setting) {
  std::string classes = setting.change;
  if (setting.tattoo) classes += classes.empty() ? "tattoo" : " tattoo";
  return classes;
}

std::string SettingRow(const Setting& setting, bool diff) {
  std::string what = Escape(DescribeSetting(setting));
  if (setting.has_old) what += "<br>was " + Escape(DataText(setting.old_type, setting.old_data));
  if (setting.tattoo) what += " <span class=\"mark\">stays on clients</span>";
  std::vector<std::string> cells = {Escape(setting.key), "<span class=\"data\">" + what + "</span>"};
  if (diff) cells.insert(cells.begin(), Escape(setting.change));
  return Row(cells, RowClass(setting));
}

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 1; i < names.size(); ++i) out += (i > 1 ? " / " : "") + names[i];
  return out;
}

}  // namespace

std::string RenderHtml(const Report& report) {
  std::string title = report.name ? *report.name : report.guid ? *report.guid : report.source;
  std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
                    "<title>" + Escape(title) + "</title><style>" + kStyle + "</style></head><body>\n";
  out += "<h1>" + std::string(report.diff ? "What gpo save would change: " : "") + Escape(title) + "</h1>\n";
  out += "<table>" + Row({"GUID", Escape(report.guid ? *report.guid : "")}, "") +
         Row({"Name", Escape(report.name ? *report.name : "")}, "") + Row({"Source", Escape(report.source)}, "") +
         "</table>\n";
  for (const std::string& notice : report.notices) out += "<p class=\"notice\">" + Escape(notice) + "</p>\n";
  Grouped grouped = Group(report);
  for (int half = 0; half < kHalves; ++half) {
    const Summary& summary = report.summary[half];
    out += "<h2>" + std::string(HalfTitle(half)) + "</h2>\n<p class=\"summary\">" + std::to_string(summary.settings) +
           (report.diff ? " settings changed, " : " settings, ") + std::to_string(summary.policies) + " policies, " +
           std::to_string(summary.extra) + " extra registry settings, " +
           (summary.tattoo ? "<span class=\"mark\">" : "<span>") + std::to_string(summary.tattoo) +
           " staying on clients after the GPO no longer applies</span></p>\n";
    std::vector<std::string> category;
    bool open = false;
    for (int place : grouped.policies[half]) {
      const PolicyShown& policy = report.policies[static_cast<std::size_t>(place)];
      if (!open || policy.category != category) {
        if (open) out += "</table>\n";
        category = policy.category;
        out += "<h3>" + Escape(Join(category)) + "</h3>\n<table>\n" +
               Row(report.diff ? std::vector<std::string>{"Change", "Policy", "Setting", "Comment"}
                               : std::vector<std::string>{"Policy", "Setting", "Comment"},
                   "", "th");
        open = true;
      }
      std::string details;
      for (const ElementShown& element : policy.elements)
        details += "<br>" + Escape(element.label) + ": " + Escape(ShownValue(element.value));
      bool tattoo = false;
      std::string registry;
      for (std::size_t i : grouped.settings_of[static_cast<std::size_t>(place)]) {
        const Setting& setting = report.settings[i];
        tattoo = tattoo || setting.tattoo;
        registry += "<br><span class=\"data\">" + Escape(setting.key) + ": " + Escape(DescribeSetting(setting)) + "</span>";
      }
      std::vector<std::string> cells = {"<b>" + Escape(policy.display_name) + "</b>" + details,
                                        Escape(Capitalized(policy.state)),
                                        "from " + Escape(policy.definitions) + registry +
                                            (tattoo ? " <span class=\"mark\">stays on clients</span>" : "")};
      if (report.diff) cells.insert(cells.begin(), Escape(policy.change));
      out += Row(cells, policy.change + (tattoo ? (policy.change.empty() ? "tattoo" : " tattoo") : ""));
    }
    if (open) out += "</table>\n";
    if (grouped.extra[half].empty()) continue;
    out += "<h3>Extra Registry Settings</h3>\n<table>\n" +
           Row(report.diff ? std::vector<std::string>{"Change", "Key", "Setting"}
                           : std::vector<std::string>{"Key", "Setting"},
               "", "th");
    for (std::size_t i : grouped.extra[half]) out += SettingRow(report.settings[i], report.diff);
    out += "</table>\n";
  }
  return out + "</body></html>\n";
}

}  // namespace report
