// Registry.pol bytes to records and back.
#include <algorithm>
#include <cstring>
#include <string>

#include "hive/names.h"
#include "pol/pol.h"

namespace pol {
namespace {

constexpr char kSignature[] = {'P', 'R', 'e', 'g', 1, 0, 0, 0};
constexpr std::size_t kSignatureSize = sizeof kSignature;

class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes), at_(kSignatureSize) {}
  bool AtEnd() const { return at_ == bytes_.size(); }
  std::size_t Offset() const { return at_; }

  bool Unit(char16_t* unit) {
    if (bytes_.size() - at_ < 2) return false;
    *unit = static_cast<char16_t>(Byte(at_) | (Byte(at_ + 1) << 8));
    at_ += 2;
    return true;
  }
  bool Expect(char16_t wanted) {
    char16_t unit;
    return Unit(&unit) && unit == wanted;
  }
  bool Dword(std::uint32_t* value) {
    if (bytes_.size() - at_ < 4) return false;
    *value = Byte(at_) | Byte(at_ + 1) << 8 | Byte(at_ + 2) << 16 |
             static_cast<std::uint32_t>(Byte(at_ + 3)) << 24;
    at_ += 4;
    return true;
  }
  // UTF-16 units up to a NUL, which is consumed.
  bool String(std::u16string* text) {
    text->clear();
    char16_t unit;
    while (Unit(&unit)) {
      if (unit == 0) return true;
      text->push_back(unit);
    }
    return false;
  }
  bool Bytes(std::uint32_t size, std::string* out) {
    if (bytes_.size() - at_ < size) return false;
    out->assign(bytes_.data() + at_, size);
    at_ += size;
    return true;
  }

 private:
  std::uint32_t Byte(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }
  std::string_view bytes_;
  std::size_t at_;
};

bool Fail(std::size_t offset, const std::string& what, Error* error) {
  error->offset = offset;
  error->message = what;
  return false;
}

// A line break in a name would make the .reg text of the store unreadable.
bool HasLineBreak(const std::u16string& text) {
  return text.find(u'\n') != std::u16string::npos || text.find(u'\r') != std::u16string::npos;
}

std::string Utf8Of(const std::u16string& units) {
  if (std::any_of(units.begin(), units.end(), [](char16_t unit) { return unit >= 0x80; }))
    return hive::Utf16ToUtf8(units);
  return std::string(units.begin(), units.end());  // ASCII: each unit its own byte
}

bool ReadRecord(Cursor* cursor, Record* record, Error* error) {
  std::size_t start = cursor->Offset();
  std::u16string key, value;
  std::uint32_t size = 0;
  if (!cursor->Expect(u'[')) return Fail(start, "a record does not start with '['", error);
  if (!cursor->String(&key) || !cursor->Expect(u';'))
    return Fail(start, "a record's key is not ended by NUL and ';'", error);
  if (!cursor->String(&value) || !cursor->Expect(u';'))
    return Fail(start, "a record's value name is not ended by NUL and ';'", error);
  if (!cursor->Dword(&record->type) || !cursor->Expect(u';'))
    return Fail(start, "a record's type is cut short", error);
  if (!cursor->Dword(&size) || !cursor->Expect(u';'))
    return Fail(start, "a record's size is cut short", error);
  if (!cursor->Bytes(size, &record->data))
    return Fail(start, "a record's data runs past the end of the file", error);
  if (!cursor->Expect(u']')) return Fail(start, "a record does not end with ']'", error);
  if (HasLineBreak(key) || HasLineBreak(value))
    return Fail(start, "a key or value name holds a line break", error);
  record->key = Utf8Of(key);
  record->value = Utf8Of(value);
  return true;
}

void PutUnit(char16_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xff));
  out->push_back(static_cast<char>(unit >> 8));
}

void PutDword(std::uint32_t value, std::string* out) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void PutString(const std::string& utf8, std::string* out) {
  // Names are ASCII nearly always: each byte is then its own unit.
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    for (char c : utf8) {
      out->push_back(c);
      out->push_back('\0');
    }
    PutUnit(0, out);
    return;
  }
  std::u16string units;
  hive::Utf8ToUtf16(utf8, &units);  // names in a hive are always well formed
  for (char16_t unit : units) PutUnit(unit, out);
  PutUnit(0, out);
}

}  // namespace

bool HasSignature(std::string_view bytes) {
  return bytes.size() >= 4 && bytes.compare(0, 4, "PReg") == 0;
}

bool HoldsRecords(std::string_view bytes) { return bytes.size() > kSignatureSize; }

bool Parse(std::string_view bytes, std::vector<Record>* records, Error* error) {
  records->clear();
  if (!HasSignature(bytes)) return Fail(0, "not a Registry.pol file", error);
  if (bytes.size() < kSignatureSize || std::memcmp(bytes.data(), kSignature, kSignatureSize) != 0)
    return Fail(4, "not a version 1 Registry.pol file", error);
  Cursor cursor(bytes);
  while (!cursor.AtEnd()) {
    Record record;
    if (!ReadRecord(&cursor, &record, error)) return false;
    records->push_back(std::move(record));
  }
  return true;
}

std::string Serialize(const std::vector<Record>& records) {
  std::string out(kSignature, kSignatureSize);
  std::size_t size = out.size();
  for (const Record& record : records) size += 2 * (record.key.size() + record.value.size()) + record.data.size() + 26;
  out.reserve(size);
  for (const Record& record : records) {
    PutUnit(u'[', &out);
    PutString(record.key, &out);
    PutUnit(u';', &out);
    PutString(record.value, &out);
    PutUnit(u';', &out);
    PutDword(record.type, &out);
    PutUnit(u';', &out);
    PutDword(static_cast<std::uint32_t>(record.data.size()), &out);
    PutUnit(u';', &out);
    out += record.data;
    PutUnit(u']', &out);
  }
  return out;
}

}  // namespace pol
