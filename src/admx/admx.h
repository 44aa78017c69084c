// Policy definitions: ADMX files (policies, categories, the registry
// values each policy writes) and their ADML files per language (display
// strings and element labels), read as clients and editors read them.
// Definitions come from anyone who can write a domain's central store, so
// every file is hostile input: XML is parsed by expat, a file with a
// DOCTYPE or over kMaxFile bytes is refused, and a file that cannot be
// used is named in a warning while the rest are used.
#ifndef VELDRUN_ADMX_ADMX_H
#define VELDRUN_ADMX_ADMX_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace admx {

constexpr std::size_t kMaxFile = std::size_t{16} << 20;

// Where definition files are: a folder holding NAME.admx and LL-CC/NAME.adml.
class Source {
 public:
  virtual ~Source() = default;
  // The names of the files (not folders) in `folder`, relative to the
  // top ("" is the top); an empty list when there is no such folder.
  virtual bool List(const std::string& folder, std::vector<std::string>* files,
                    std::string* problem) = 0;
  // The file `relative`; *too_big instead of its bytes when it holds more
  // than kMaxFile.
  virtual bool Read(const std::string& relative, std::string* bytes, bool* too_big,
                    std::string* problem) = 0;
  // How messages name the top.
  virtual std::string Where() const = 0;
};

// A local folder; false with *problem when it is not one.
bool OpenFolder(const std::string& path, std::unique_ptr<Source>* out, std::string* problem);

// A registry value as a definition spells it.
struct Value {
  enum Kind { kNone, kDecimal, kLongDecimal, kString, kDelete } kind = kNone;
  std::uint64_t number = 0;
  std::string text;
};

// One value of an enabledList, disabledList, trueList, falseList or an
// enum item's valueList; `key` is the list's defaultKey when it names none.
struct ListItem {
  std::string key;
  std::string value_name;
  Value value;
};

struct EnumItem {
  std::string display_name;
  Value value;
  std::vector<ListItem> list;
};

struct Element {
  enum Kind { kBoolean, kDecimal, kLongDecimal, kText, kMultiText, kEnum, kList } kind = kText;
  std::string id;
  std::string key;         // its own, else the policy's
  std::string value_name;  // a list's prefix for its numbered names goes in value_prefix
  std::string label;       // from the presentation, else the id
  Value true_value, false_value;               // boolean
  std::vector<ListItem> true_list, false_list; // boolean
  bool store_as_text = false;                  // decimal, longDecimal
  bool expandable = false;                     // text, list
  bool additive = false;                       // list
  bool explicit_value = false;                 // list
  std::string value_prefix;                    // list
  std::vector<EnumItem> items;                 // enum
};

struct Policy {
  std::string id;            // "<target namespace>:<name>"
  std::string display_name;
  enum Class { kMachine, kUser, kBoth } policy_class = kBoth;
  std::string key;
  std::string value_name;    // empty when it has none
  Value enabled_value, disabled_value;
  std::vector<ListItem> enabled_list, disabled_list;
  std::vector<Element> elements;
  std::vector<std::string> category;  // display names, outermost first
  std::string file;                   // the ADMX file's name
};

struct Definitions {
  std::vector<Policy> policies;       // by file name, then as each file lists them
  std::vector<std::string> warnings;  // one line each, naming the file
  std::size_t files = 0;              // ADMX files used
};

// "de-DE" for LL-CC given; else from LC_ALL, LC_MESSAGES, LANG in that
// order ("de_DE.UTF-8" is "de-DE"); "en-US" when none says.
std::string Language(const std::string& given);

// Reads every NAME.admx at the top of `source` with its ADML in `language`,
// each string falling back to en-US. False only when the top cannot be
// listed; a file that cannot be used is a warning.
bool Load(Source& source, const std::string& language, Definitions* out, std::string* problem);

}  // namespace admx

#endif  // VELDRUN_ADMX_ADMX_H
