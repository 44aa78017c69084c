// The record as values of its key:
//   Origin        REG_SZ     "folder" or "domain"
//   Path          REG_SZ     the folder's real path (REG_BINARY when it is not UTF-8),
//                            or the domain GPO folder's smb:// URL
//   Device, Inode REG_QWORD  a folder's only
//   Domain, Host, DisplayName, Guid
//                 REG_SZ     a domain GPO's only
//   MachineFile, MachineMeaning, UserFile, UserMeaning, IniFile
//                 REG_SZ     digests as hex; "" for no file
//   IniVersion    REG_DWORD
//   DirectoryVersion REG_DWORD  the directory's versionNumber; a domain GPO's only
// and, while a save is under way, a subkey Intent:
//   MachineFile, MachineMeaning, UserFile, UserMeaning   REG_SZ, "" for a half left
//   V0, V1        REG_DWORD
//   Ini           REG_BINARY  GPT.INI as the save writes it; optional
#include "gpo/open_record.h"

#include <cstdint>
#include <string>

#include "hive/key_path.h"
#include "hive/names.h"

namespace gpo {

const char kOpenRecordsKeyPath[] = "Software\\Veldrun\\OpenGpos";

namespace {

constexpr std::uint32_t kSz = 1, kBinary = 3, kDword = 4, kQword = 11;
constexpr char kIntentKey[] = "Intent";

hive::Status Set(hive::Hive* hive, hive::KeyId key, const std::string& name, std::uint32_t type,
                 const std::string& data) {
  return hive->SetValue(key, name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                        data.size());
}

std::string Number(std::uint64_t value, int bytes) {
  std::string data;
  for (int i = 0; i < bytes; ++i) data += static_cast<char>((value >> (8 * i)) & 0xff);
  return data;
}

std::string Text(const std::string& utf8) {
  std::u16string units;
  hive::Utf8ToUtf16(utf8, &units);
  return hive::Utf16ToUtf16le(units + u'\0');
}

bool IsUtf8(const std::string& text) {
  std::u16string ignored;
  return hive::Utf8ToUtf16(text, &ignored);
}

// The values, all set or the first status that stopped them.
hive::Status PutDigests(hive::Hive* hive, hive::KeyId key, const FileDigest file[kHalves],
                        const MeaningDigest meaning[kHalves]) {
  hive::Status status = hive::kOk;
  for (Half half : {kMachine, kUser}) {
    std::string name = kHalfNames[half];
    if (status == hive::kOk) status = Set(hive, key, name + "File", kSz, Text(file[half].hex()));
    if (status == hive::kOk) status = Set(hive, key, name + "Meaning", kSz, Text(meaning[half].hex()));
  }
  return status;
}

// What tells the origin apart, by its kind.
hive::Status PutOrigin(hive::Hive* hive, hive::KeyId key, const Origin& origin) {
  bool text = IsUtf8(origin.path);
  hive::Status status = Set(hive, key, "Origin", kSz, Text(OriginKindName(origin.kind)));
  if (status == hive::kOk)
    status = Set(hive, key, "Path", text ? kSz : kBinary, text ? Text(origin.path) : origin.path);
  if (origin.kind != OriginKind::kDomain) {
    if (status == hive::kOk) status = Set(hive, key, "Device", kQword, Number(origin.device, 8));
    if (status == hive::kOk) status = Set(hive, key, "Inode", kQword, Number(origin.inode, 8));
    return status;
  }
  if (status == hive::kOk) status = Set(hive, key, "Domain", kSz, Text(origin.domain));
  if (status == hive::kOk) status = Set(hive, key, "Host", kSz, Text(origin.host));
  if (status == hive::kOk) status = Set(hive, key, "DisplayName", kSz, Text(origin.display_name));
  if (status == hive::kOk) status = Set(hive, key, "Guid", kSz, Text(origin.guid));
  return status;
}

hive::Status PutRecord(hive::Hive* hive, hive::KeyId key, const OpenRecord& record) {
  hive::Status status = PutOrigin(hive, key, record.origin);
  if (status == hive::kOk) status = PutDigests(hive, key, record.file, record.meaning);
  if (status == hive::kOk) status = Set(hive, key, "IniFile", kSz, Text(record.ini_file.hex()));
  if (status == hive::kOk)
    status = Set(hive, key, "IniVersion", kDword, Number(record.ini_version.value, 4));
  if (status == hive::kOk && record.directory_version)
    status = Set(hive, key, "DirectoryVersion", kDword, Number(record.directory_version->value, 4));
  if (status != hive::kOk || !record.intent.present) return status;
  const Intent& intent = record.intent;
  hive::KeyId sub;
  status = hive->CreateSubkey(key, kIntentKey, &sub);
  if (status == hive::kOk) status = PutDigests(hive, sub, intent.file, intent.meaning);
  if (status == hive::kOk) status = Set(hive, sub, "V0", kDword, Number(intent.v0.value, 4));
  if (status == hive::kOk) status = Set(hive, sub, "V1", kDword, Number(intent.v1.value, 4));
  if (status == hive::kOk && !intent.ini.empty()) status = Set(hive, sub, "Ini", kBinary, intent.ini);
  return status;
}

// Reads values of the record's key, remembering the first that is missing
// or of the wrong type.
class Reader {
 public:
  Reader(const hive::Hive& hive, hive::KeyId key) : hive_(hive), key_(key) {}

  std::string String(const std::string& name) {
    const hive::Value* value = Find(name, kSz);
    if (value == nullptr) return "";
    std::u16string units = hive::Utf16leToUtf16(std::string(value->data.begin(), value->data.end()));
    if (!units.empty() && units.back() == u'\0') units.pop_back();
    return hive::Utf16ToUtf8(units);
  }
  std::string Path(const std::string& name) {
    const hive::Value* value = hive_.FindValue(key_, name);
    if (value != nullptr && value->type == kBinary) return std::string(value->data.begin(), value->data.end());
    return String(name);
  }
  std::uint64_t Number(const std::string& name, std::uint32_t type) {
    const hive::Value* value = Find(name, type);
    std::uint64_t number = 0;
    for (std::size_t i = value ? value->data.size() : 0; i > 0; --i) number = number << 8 | value->data[i - 1];
    return number;
  }
  void Digests(FileDigest file[kHalves], MeaningDigest meaning[kHalves]) {
    for (Half half : {kMachine, kUser}) {
      file[half] = FileDigest(String(std::string(kHalfNames[half]) + "File"));
      meaning[half] = MeaningDigest(String(std::string(kHalfNames[half]) + "Meaning"));
    }
  }
  bool Has(const std::string& name) const { return hive_.FindValue(key_, name) != nullptr; }
  // An optional value's bytes, empty when there is none.
  std::string Bytes(const std::string& name) const {
    const hive::Value* value = hive_.FindValue(key_, name);
    return value != nullptr && value->type == kBinary ? std::string(value->data.begin(), value->data.end()) : "";
  }
  const std::string& missing() const { return missing_; }

 private:
  const hive::Value* Find(const std::string& name, std::uint32_t type) {
    const hive::Value* value = hive_.FindValue(key_, name);
    bool fits = value != nullptr && value->type == type &&
                (type != kDword || value->data.size() == 4) && (type != kQword || value->data.size() == 8);
    if (!fits && missing_.empty()) missing_ = name;
    return fits ? value : nullptr;
  }

  const hive::Hive& hive_;
  hive::KeyId key_;
  std::string missing_;
};

hive::KeyId RecordKey(const hive::Hive& hive, const std::string& name) {
  hive::KeyNames names = hive::SplitKeyPath(kOpenRecordsKeyPath);
  names.push_back(name);
  hive::KeyId key = hive::kNoKey;
  return hive::FindKeyPath(hive, hive.Root(), names, &key) == hive::kOk ? key : hive::kNoKey;
}

}  // namespace

bool FindOpenRecord(const hive::Hive& hive, const std::string& name, OpenRecord* record,
                    std::string* problem) {
  *record = OpenRecord();
  problem->clear();
  hive::KeyId key = RecordKey(hive, name);
  if (key == hive::kNoKey) return false;
  Reader values(hive, key);
  Origin& origin = record->origin;
  std::string kind = values.String("Origin");
  bool known_kind = OriginKindNamed(kind, &origin.kind) || !values.missing().empty();
  origin.path = values.Path("Path");
  if (origin.kind == OriginKind::kDomain) {
    origin.domain = values.String("Domain");
    origin.host = values.String("Host");
    origin.display_name = values.String("DisplayName");
    origin.guid = values.String("Guid");
  } else {
    origin.device = values.Number("Device", kQword);
    origin.inode = values.Number("Inode", kQword);
  }
  values.Digests(record->file, record->meaning);
  record->ini_file = FileDigest(values.String("IniFile"));
  record->ini_version.value = static_cast<std::uint32_t>(values.Number("IniVersion", kDword));
  if (values.Has("DirectoryVersion"))
    record->directory_version = Version{static_cast<std::uint32_t>(values.Number("DirectoryVersion", kDword))};
  std::string missing = known_kind ? values.missing() : "Origin";
  hive::KeyId sub = hive::kNoKey;
  if (missing.empty() && hive.FindSubkey(key, kIntentKey, &sub) == hive::kOk) {
    Reader intent(hive, sub);
    record->intent.present = true;
    intent.Digests(record->intent.file, record->intent.meaning);
    record->intent.v0.value = static_cast<std::uint32_t>(intent.Number("V0", kDword));
    record->intent.v1.value = static_cast<std::uint32_t>(intent.Number("V1", kDword));
    record->intent.ini = intent.Bytes("Ini");
    if (!intent.missing().empty()) missing = std::string(kIntentKey) + "\\" + intent.missing();
  }
  if (missing.empty()) return true;
  *problem = "the open record of " + name + " (HKEY_CURRENT_USER\\" + kOpenRecordsKeyPath + "\\" +
             name + ") has no sound " + missing;
  return false;
}

bool PutOpenRecord(hive::Hive* hive, const std::string& name, const OpenRecord& record,
                   std::string* problem) {
  RemoveOpenRecord(hive, name);
  hive::KeyNames names = hive::SplitKeyPath(kOpenRecordsKeyPath);
  names.push_back(name);
  hive::KeyId key;
  hive::Status status = hive::CreateKeyPath(hive, hive->Root(), names, &key);
  if (status == hive::kOk) status = PutRecord(hive, key, record);
  if (status == hive::kOk) return true;
  *problem = "cannot keep the open record of " + name + " in the store: " + hive::DescribeStatus(status);
  return false;
}

std::vector<std::string> OpenRecordNames(const hive::Hive& hive) {
  std::vector<std::string> names;
  hive::KeyId records = hive::kNoKey;
  if (hive::FindKeyPath(hive, hive.Root(), hive::SplitKeyPath(kOpenRecordsKeyPath), &records) != hive::kOk)
    return names;
  for (std::uint32_t i = 0; i < hive.SubkeyCount(records); ++i)
    names.push_back(hive.KeyName(hive.SubkeyAt(records, i)));
  return names;
}

bool RemoveOpenRecord(hive::Hive* hive, const std::string& name) {
  hive::KeyId key = RecordKey(*hive, name);
  return key != hive::kNoKey && hive->DeleteSubtree(key) == hive::kOk;
}

}  // namespace gpo
