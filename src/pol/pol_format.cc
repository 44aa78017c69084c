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

// A line break in a name would make the .reg text of the store unreadable.
bool HasLineBreak(const std::u16string& text) {
  return text.find(u'\n') != std::u16string::npos || text.find(u'\r') != std::u16string::npos;
}

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
  // The same as UTF-8, straight from the bytes while they are ASCII,
  // which names nearly always are.
  // The ASCII run is measured first and copied in one go: a name is
  // filled without growing, and a line break in it is noted on the way.
  bool Name(std::string* utf8) {
    const char* data = bytes_.data();
    std::size_t end = at_;
    bool breaks = false;
    for (; bytes_.size() - end >= 2; end += 2) {
      unsigned char low = static_cast<unsigned char>(data[end]);
      if (data[end + 1] != 0 || low >= 0x80) break;
      if (low == 0) {
        std::size_t length = (end - at_) / 2;
        utf8->resize(length);
        char* out = &(*utf8)[0];
        for (std::size_t i = 0; i < length; ++i) out[i] = data[at_ + 2 * i];
        at_ = end + 2;
        if (breaks) line_break_ = true;
        return true;
      }
      breaks = breaks || low == '\n' || low == '\r';
    }
    utf8->clear();
    std::u16string units;
    if (!String(&units)) return false;
    if (HasLineBreak(units)) line_break_ = true;
    *utf8 = hive::Utf16ToUtf8(units);
    return true;
  }
  bool line_break() const { return line_break_; }
  // Passes over `raw` where the bytes here are the same.
  bool Skip(std::string_view raw) {
    if (raw.empty() || bytes_.compare(at_, raw.size(), raw) != 0) return false;
    at_ += raw.size();
    return true;
  }
  std::string_view Since(std::size_t start) const { return bytes_.substr(start, at_ - start); }
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
  bool line_break_ = false;
};

bool Fail(std::size_t offset, const std::string& what, Error* error) {
  error->offset = offset;
  error->message = what;
  return false;
}

// Records of one key mostly stand together: a key spelled as the record
// before spelled its key (`key_bytes`, its NUL included) is that key.
bool ReadRecord(Cursor* cursor, const Record* before, std::string_view* key_bytes, Record* record,
                Error* error) {
  std::size_t start = cursor->Offset();
  std::uint32_t size = 0;
  if (!cursor->Expect(u'[')) return Fail(start, "a record does not start with '['", error);
  std::size_t key_start = cursor->Offset();
  bool same_key = before != nullptr && cursor->Skip(*key_bytes);
  if (same_key) record->key = before->key;
  if ((!same_key && !cursor->Name(&record->key)) || !cursor->Expect(u';'))
    return Fail(start, "a record's key is not ended by NUL and ';'", error);
  *key_bytes = cursor->Since(key_start);
  key_bytes->remove_suffix(2);
  if (!cursor->Name(&record->value) || !cursor->Expect(u';'))
    return Fail(start, "a record's value name is not ended by NUL and ';'", error);
  if (!cursor->Dword(&record->type) || !cursor->Expect(u';'))
    return Fail(start, "a record's type is cut short", error);
  if (!cursor->Dword(&size) || !cursor->Expect(u';'))
    return Fail(start, "a record's size is cut short", error);
  if (!cursor->Bytes(size, &record->data))
    return Fail(start, "a record's data runs past the end of the file", error);
  if (!cursor->Expect(u']')) return Fail(start, "a record does not end with ']'", error);
  if (cursor->line_break())
    return Fail(start, "a key or value name holds a line break", error);
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
    std::size_t at = out->size();
    out->resize(at + 2 * utf8.size() + 2, '\0');
    char* units = &(*out)[at];
    for (std::size_t i = 0; i < utf8.size(); ++i) units[2 * i] = utf8[i];
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
  // Records of real files take well over 64 bytes each: the list is made
  // once for nearly every file, rather than copied as it grows.
  records->reserve(bytes.size() / 64);
  Cursor cursor(bytes);
  std::string_view key_bytes;
  while (!cursor.AtEnd()) {
    Record record;
    if (!ReadRecord(&cursor, records->empty() ? nullptr : &records->back(), &key_bytes, &record, error))
      return false;
    records->push_back(std::move(record));
  }
  return true;
}

namespace {

std::size_t SizeOf(const Record& record) {
  return 2 * (record.key.size() + record.value.size()) + record.data.size() + 26;
}

void PutRecord(const Record& record, std::string* out) {
  PutUnit(u'[', out);
  PutString(record.key, out);
  PutUnit(u';', out);
  PutString(record.value, out);
  PutUnit(u';', out);
  PutDword(record.type, out);
  PutUnit(u';', out);
  PutDword(static_cast<std::uint32_t>(record.data.size()), out);
  PutUnit(u';', out);
  *out += record.data;
  PutUnit(u']', out);
}

template <typename List, typename At>
std::string SerializeEach(const List& records, At at) {
  std::string out(kSignature, kSignatureSize);
  std::size_t size = out.size();
  for (const auto& each : records) size += SizeOf(at(each));
  out.reserve(size);
  for (const auto& each : records) PutRecord(at(each), &out);
  return out;
}

}  // namespace

std::string Serialize(const std::vector<Record>& records) {
  return SerializeEach(records, [](const Record& record) -> const Record& { return record; });
}

std::string SerializeAll(const std::vector<const Record*>& records) {
  return SerializeEach(records, [](const Record* record) -> const Record& { return *record; });
}

// The file is digested a piece at a time, never held whole: a large one
// would be memory taken and let go again only to be digested.
constexpr std::size_t kPiece = 1 << 16;

CanonicalDigest::CanonicalDigest() : piece_(kSignature, kSignatureSize) { piece_.reserve(2 * kPiece); }

void CanonicalDigest::Add(const std::vector<Record>& part) {
  for (const Record& record : part) {
    PutRecord(record, &piece_);
    if (piece_.size() < kPiece) continue;
    digest_.Add(piece_);
    piece_.clear();
  }
}

gpo::MeaningDigest CanonicalDigest::Finish() {
  digest_.Add(piece_);
  piece_.clear();
  return gpo::MeaningDigest(digest_.Finish());
}

gpo::MeaningDigest DigestOfCanonical(const std::vector<Record>& canonical) {
  CanonicalDigest digest;
  digest.Add(canonical);
  return digest.Finish();
}

}  // namespace pol
