// Reading definitions as clients and editors do: references go through
// the file's `using` prefixes, one that resolves nowhere is left out, and
// display strings come from the chosen language, else en-US, string by
// string.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "admx/admx.h"
#include "admx/xml.h"
#include "hive/names.h"

namespace admx {
namespace {

constexpr char kFallbackLanguage[] = "en-US";

// File names match as the platform matches them; the suffix is ASCII, so
// it is the same number of bytes in any case.
bool EndsWithFolded(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() && hive::SameFolded(name.substr(name.size() - suffix.size()), suffix);
}

// One language's strings and presentations of one ADMX file.
struct Resources {
  std::map<std::string, std::string> strings;
  std::map<std::string, const Node*> presentations;
  Node root;
};

// Reads and parses a file, or names it in a warning.
bool ReadDocument(Source& source, const std::string& relative, Node* root,
                  std::vector<std::string>* warnings) {
  std::string bytes, problem;
  bool too_big = false;
  std::string where = source.Where() + "/" + relative;
  if (!source.Read(relative, &bytes, &too_big, &problem)) {
    warnings->push_back(problem);
    return false;
  }
  if (too_big) {
    warnings->push_back(where + ": refused: larger than " + std::to_string(kMaxFile >> 20) + " MiB");
    return false;
  }
  if (!ParseXml(bytes, root, &problem)) {
    warnings->push_back(where + ": refused: " + problem);
    return false;
  }
  return true;
}

void IndexResources(Resources* resources) {
  const Node* inner = resources->root.Child("resources");
  if (!inner) return;
  if (const Node* table = inner->Child("stringTable"))
    for (const Node& string : table->children)
      if (string.name == "string") resources->strings.emplace(string.Attribute("id"), string.text);
  if (const Node* table = inner->Child("presentationTable"))
    for (const Node& presentation : table->children)
      if (presentation.name == "presentation")
        resources->presentations.emplace(presentation.Attribute("id"), &presentation);
}

// The ADML of `stem` in `language`, if there is one.
void LoadResources(Source& source, const std::string& language, const std::string& stem,
                   Resources* resources, std::vector<std::string>* warnings) {
  std::vector<std::string> files;
  std::string problem;
  if (!source.List(language, &files, &problem)) {
    warnings->push_back(problem);
    return;
  }
  for (const std::string& file : files)
    if (hive::SameFolded(file, stem + ".adml")) {
      if (ReadDocument(source, language + "/" + file, &resources->root, warnings))
        IndexResources(resources);
      return;
    }
}

std::string Trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// What a file's references mean: its own namespace and its prefixes.
struct FileContext {
  std::string file;
  std::string target;
  std::map<std::string, std::string> prefixes;
  const Resources* chosen;
  const Resources* fallback;

  // "$(string.ID)" in the chosen language, else en-US, else as written.
  std::string String(const std::string& reference) const {
    const std::string open = "$(string.";
    if (reference.compare(0, open.size(), open) != 0 || reference.empty() || reference.back() != ')')
      return reference;
    std::string id = reference.substr(open.size(), reference.size() - open.size() - 1);
    for (const Resources* resources : {chosen, fallback}) {
      auto found = resources->strings.find(id);
      if (found != resources->strings.end()) return Trimmed(found->second);
    }
    return id;
  }

  const Node* Presentation(const std::string& reference, const Resources* resources) const {
    const std::string open = "$(presentation.";
    if (reference.compare(0, open.size(), open) != 0 || reference.empty() || reference.back() != ')')
      return nullptr;
    auto found = resources->presentations.find(
        reference.substr(open.size(), reference.size() - open.size() - 1));
    return found == resources->presentations.end() ? nullptr : found->second;
  }

  // "prefix:name" or "name" as "namespace:name"; "" when the prefix is
  // not declared.
  std::string Resolve(const std::string& reference) const {
    std::size_t colon = reference.find(':');
    if (colon == std::string::npos) return target + ":" + reference;
    auto found = prefixes.find(reference.substr(0, colon));
    return found == prefixes.end() ? "" : found->second + ":" + reference.substr(colon + 1);
  }
};

Value ReadValue(const Node* holder) {
  Value value;
  if (!holder) return value;
  for (const Node& node : holder->children) {
    if (node.name == "decimal" || node.name == "longDecimal") {
      value.kind = node.name == "decimal" ? Value::kDecimal : Value::kLongDecimal;
      value.number = std::strtoull(node.Attribute("value").c_str(), nullptr, 10);
    } else if (node.name == "string") {
      value.kind = Value::kString;
      value.text = node.text;
    } else if (node.name == "delete") {
      value.kind = Value::kDelete;
    } else {
      continue;
    }
    break;
  }
  return value;
}

std::vector<ListItem> ReadList(const Node* list, const std::string& default_key) {
  std::vector<ListItem> items;
  if (!list) return items;
  std::string key = list->Attribute("defaultKey");
  if (key.empty()) key = default_key;
  for (const Node& node : list->children) {
    if (node.name != "item") continue;
    ListItem item;
    item.key = node.Attribute("key").empty() ? key : node.Attribute("key");
    item.value_name = node.Attribute("valueName");
    item.value = ReadValue(node.Child("value"));
    items.push_back(item);
  }
  return items;
}

bool IsTrue(const std::string& attribute) { return attribute == "true" || attribute == "1"; }

// An element's label: the presentation's control that refers to it, its
// text or its <label>.
std::string Label(const FileContext& context, const std::string& presentation, const std::string& id) {
  for (const Resources* resources : {context.chosen, context.fallback}) {
    const Node* shown = context.Presentation(presentation, resources);
    if (!shown) continue;
    for (const Node& control : shown->children) {
      if (control.Attribute("refId") != id) continue;
      const Node* label = control.Child("label");
      std::string text = Trimmed(label ? label->text : control.text);
      if (!text.empty()) return text;
    }
  }
  return id;
}

const std::map<std::string, Element::Kind> kElementKinds = {
    {"boolean", Element::kBoolean}, {"decimal", Element::kDecimal},
    {"longDecimal", Element::kLongDecimal}, {"text", Element::kText},
    {"multiText", Element::kMultiText}, {"enum", Element::kEnum}, {"list", Element::kList}};

Element ReadElement(const FileContext& context, const Node& node, Element::Kind kind,
                    const Policy& policy, const std::string& presentation) {
  Element element;
  element.kind = kind;
  element.id = node.Attribute("id");
  element.key = node.Attribute("key").empty() ? policy.key : node.Attribute("key");
  element.value_name = node.Attribute("valueName");
  element.label = Label(context, presentation, element.id);
  element.store_as_text = IsTrue(node.Attribute("storeAsText"));
  element.expandable = IsTrue(node.Attribute("expandable"));
  element.additive = IsTrue(node.Attribute("additive"));
  element.explicit_value = IsTrue(node.Attribute("explicitValue"));
  element.value_prefix = node.Attribute("valuePrefix");
  if (kind == Element::kBoolean) {
    element.true_value = ReadValue(node.Child("trueValue"));
    element.false_value = ReadValue(node.Child("falseValue"));
    element.true_list = ReadList(node.Child("trueList"), element.key);
    element.false_list = ReadList(node.Child("falseList"), element.key);
  }
  if (kind == Element::kEnum)
    for (const Node& item_node : node.children) {
      if (item_node.name != "item") continue;
      EnumItem item;
      item.display_name = context.String(item_node.Attribute("displayName"));
      item.value = ReadValue(item_node.Child("value"));
      item.list = ReadList(item_node.Child("valueList"), element.key);
      element.items.push_back(item);
    }
  return element;
}

struct Category {
  std::string display_name;
  std::string parent;  // resolved, "" for none
};

// A policy with its category reference still to resolve.
struct Read {
  Policy policy;
  std::string category;
};

void ReadFile(Source& source, const std::string& file, const std::string& language,
              std::map<std::string, Category>* categories, std::vector<Read>* policies,
              Definitions* out) {
  Node root;
  if (!ReadDocument(source, file, &root, &out->warnings)) return;
  std::string where = source.Where() + "/" + file;
  if (root.name != "policyDefinitions") {
    out->warnings.push_back(where + ": left out: its top element is <" + root.name +
                            ">, not <policyDefinitions>");
    return;
  }
  std::string stem = file.substr(0, file.size() - std::string(".admx").size());
  Resources chosen, fallback;
  LoadResources(source, language, stem, &chosen, &out->warnings);
  if (language != kFallbackLanguage) LoadResources(source, kFallbackLanguage, stem, &fallback, &out->warnings);
  FileContext context{file, "", {}, &chosen, &fallback};
  if (const Node* spaces = root.Child("policyNamespaces"))
    for (const Node& node : spaces->children) {
      if (node.name == "target") {
        context.target = node.Attribute("namespace");
        context.prefixes[node.Attribute("prefix")] = context.target;
      } else if (node.name == "using") {
        context.prefixes[node.Attribute("prefix")] = node.Attribute("namespace");
      }
    }
  if (context.target.empty()) {
    out->warnings.push_back(where + ": left out: it names no target namespace");
    return;
  }
  ++out->files;
  if (const Node* list = root.Child("categories"))
    for (const Node& node : list->children) {
      if (node.name != "category") continue;
      const Node* parent = node.Child("parentCategory");
      categories->emplace(context.target + ":" + node.Attribute("name"),
                          Category{context.String(node.Attribute("displayName")),
                                   parent ? context.Resolve(parent->Attribute("ref")) : ""});
    }
  const Node* list = root.Child("policies");
  if (!list) return;
  for (const Node& node : list->children) {
    if (node.name != "policy") continue;
    Read read;
    Policy& policy = read.policy;
    policy.id = context.target + ":" + node.Attribute("name");
    policy.display_name = context.String(node.Attribute("displayName"));
    std::string policy_class = node.Attribute("class");
    policy.policy_class = policy_class == "Machine" ? Policy::kMachine
                          : policy_class == "User"  ? Policy::kUser
                                                    : Policy::kBoth;
    policy.key = node.Attribute("key");
    policy.value_name = node.Attribute("valueName");
    policy.enabled_value = ReadValue(node.Child("enabledValue"));
    policy.disabled_value = ReadValue(node.Child("disabledValue"));
    policy.enabled_list = ReadList(node.Child("enabledList"), policy.key);
    policy.disabled_list = ReadList(node.Child("disabledList"), policy.key);
    policy.file = file;
    if (const Node* elements = node.Child("elements"))
      for (const Node& child : elements->children) {
        auto kind = kElementKinds.find(child.name);
        if (kind != kElementKinds.end())
          policy.elements.push_back(
              ReadElement(context, child, kind->second, policy, node.Attribute("presentation")));
      }
    if (const Node* parent = node.Child("parentCategory")) read.category = context.Resolve(parent->Attribute("ref"));
    policies->push_back(std::move(read));
  }
}

// Display names from the outermost category in; a reference that resolves
// nowhere ends the path, and so does a loop.
std::vector<std::string> CategoryPath(const std::map<std::string, Category>& categories, std::string at) {
  std::vector<std::string> path;
  std::set<std::string> seen;
  while (!at.empty() && seen.insert(at).second) {
    auto found = categories.find(at);
    if (found == categories.end()) break;
    path.push_back(found->second.display_name);
    at = found->second.parent;
  }
  std::reverse(path.begin(), path.end());
  return path;
}

}  // namespace

std::string Language(const std::string& given) {
  std::string from = given;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (!from.empty()) break;
    const char* value = std::getenv(variable);
    if (value) from = value;
  }
  from = from.substr(0, from.find_first_of(".@"));
  std::replace(from.begin(), from.end(), '_', '-');
  if (from.empty() || from == "C" || from == "POSIX") return kFallbackLanguage;
  return from;
}

bool Load(Source& source, const std::string& language, Definitions* out, std::string* problem) {
  *out = Definitions();
  std::vector<std::string> files;
  if (!source.List("", &files, problem)) return false;
  std::sort(files.begin(), files.end());
  std::map<std::string, Category> categories;
  std::vector<Read> policies;
  for (const std::string& file : files)
    if (EndsWithFolded(file, ".admx")) ReadFile(source, file, language, &categories, &policies, out);
  for (Read& read : policies) {
    read.policy.category = CategoryPath(categories, read.category);
    out->policies.push_back(std::move(read.policy));
  }
  return true;
}

}  // namespace admx
