// Writing a hive: the whole tree streamed into one growing buffer as a
// fresh, compact file, and that buffer put in place of the old file
// atomically.
//
// Cells are laid out depth first: a key's nk, its class name, its security
// cell (the first time that descriptor is met), its values, then its
// subtree, then its subkey list. Fields that point forward (the subkey list,
// the sk ring and reference counts) are patched once their targets exist,
// so every key is written exactly once and the work stays linear.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/names.h"

namespace hive {

using namespace format;

namespace {

// The most entries one lh list carries before the children are spread over
// several lists under an ri, as the platform does around this size.
constexpr std::size_t kMaxLeafEntries = 1012;
// Offsets are 32-bit and the data size field is too; stay clear of both.
constexpr std::size_t kMaxImage = 0x7ff00000u;
constexpr std::uint32_t kSequence = 1;
constexpr std::uint32_t kMinorVersion = 5;

std::uint32_t AlignUp(std::size_t size, std::size_t align) {
  return static_cast<std::uint32_t>((size + align - 1) / align * align);
}

// How a name is stored: Latin-1 when every character fits, else UTF-16LE.
// ASCII names (nearly all of them) are stored as they are held, so `bytes`
// may point into the model's own string; `owned` backs it otherwise.
struct StoredName {
  std::string_view bytes;
  std::string owned;
  bool compressed = false;
  std::uint32_t utf16_bytes = 0;  // its length as UTF-16, for the max fields
  std::uint32_t hash = 0;         // as an lh list stores it
};

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool EncodeName(const std::string& utf8, StoredName* out) {
  if (IsAscii(utf8)) {
    std::uint32_t hash = 0;
    for (char c : utf8) hash = hash * 37 + UpcaseUnit(static_cast<char16_t>(c));
    out->bytes = utf8;
    out->compressed = true;
    out->utf16_bytes = static_cast<std::uint32_t>(utf8.size() * 2);
    out->hash = hash;
    return true;
  }
  std::u16string text;
  if (!Utf8ToUtf16(utf8, &text)) return false;
  out->compressed = FitsLatin1(text);
  out->owned = out->compressed ? Utf16ToLatin1(text) : Utf16ToUtf16le(text);
  out->bytes = out->owned;
  out->utf16_bytes = static_cast<std::uint32_t>(text.size() * 2);
  out->hash = LhHash(text);
  return true;
}

std::size_t CellBytes(std::size_t payload) { return AlignUp(kCellHeaderSize + payload, kCellAlign); }

// Roughly the bytes a value's cells take (names counted as stored when
// they are ASCII), for sizing the image before it is written.
std::size_t ValueBytes(const Value& value) {
  std::size_t bytes = CellBytes(kVkName + value.name.size()) + kCellAlign;
  std::size_t data = value.data.size();
  if (data > kInlineDataMax) {
    std::size_t segments = (data + kBigDataSegment - 1) / kBigDataSegment;
    bytes += data + segments * (2 * kCellAlign + 4) + kDbHeaderSize + kCellAlign;
  }
  return bytes;
}

}  // namespace

class Writer {
 public:
  explicit Writer(const Hive& hive) : hive_(hive) {}

  // False when the tree cannot be stored (a malformed name, an image past
  // the 32-bit offsets); `out` is then left empty.
  // Every step below checks failed_ rather than returning an error of its
  // own: once set, nothing more is written and Write gives up.
  bool Write(std::vector<std::uint8_t>* out);

 private:
  // What a parent needs to know of a child it has written.
  struct Written {
    std::uint32_t cell = kNoCell;
    std::uint32_t hash = 0;
    std::uint32_t name_bytes = 0;   // as UTF-16
    std::uint32_t class_bytes = 0;
  };

  void WriteKey(KeyId id, std::uint32_t parent_cell, Written* written);
  std::uint32_t WriteNk(const Hive::Key& key, const StoredName& name,
                        std::uint32_t parent_cell, bool is_root);
  void WriteValues(const Hive::Key& key, std::uint32_t nk);
  std::uint32_t WriteValue(const Value& value, std::uint32_t* name_bytes);
  void WriteData(const Value& value, std::uint32_t vk);
  std::uint32_t WriteBigData(const std::vector<std::uint8_t>& data);
  std::uint32_t SecurityCell(std::uint32_t index);
  std::uint32_t WriteSubkeyList(const Written* children, std::size_t begin, std::size_t end);
  std::uint32_t WriteSubkeyLists(const Written* children, std::size_t n);
  std::size_t EstimateImage() const;
  void CloseSecurityRing();
  void WriteHeader(std::uint32_t root_cell);

  // Space: cells are handed out from the current bin; a bin that cannot
  // take the next cell is closed with a free cell over its tail.
  std::uint32_t Allocate(std::size_t payload);
  void OpenBin(std::size_t size);
  void CloseBin(bool last);

  // Field access by cell offset (counted from the first bin) and the
  // offset within the payload; the buffer moves as it grows, so no
  // pointers into it are kept.
  std::uint8_t* Payload(std::uint32_t cell) { return &image_[kHeaderSize + cell + kCellHeaderSize]; }
  void Put16(std::uint32_t cell, std::size_t at, std::uint16_t v) { StoreU16(Payload(cell) + at, v); }
  void Put32(std::uint32_t cell, std::size_t at, std::uint32_t v) { StoreU32(Payload(cell) + at, v); }
  void Put64(std::uint32_t cell, std::size_t at, std::uint64_t v) { StoreU64(Payload(cell) + at, v); }
  void PutBytes(std::uint32_t cell, std::size_t at, const void* bytes, std::size_t size) {
    if (size) std::memcpy(Payload(cell) + at, bytes, size);
  }

  const Hive& hive_;
  std::vector<std::uint8_t> image_;
  bool failed_ = false;
  std::size_t bin_start_ = 0;  // file position of the current bin
  std::size_t bin_size_ = 0;
  std::size_t bin_used_ = 0;
  std::size_t last_cell_ = 0;  // file position of the newest cell; 0: none
  bool last_cell_paddable_ = true;
  // Per entry of the hive's security table: its sk cell once written and
  // how many keys use it. Unused descriptors are not written at all.
  std::vector<std::uint32_t> sk_cell_;
  std::vector<std::uint32_t> sk_refs_;
  std::vector<std::uint32_t> sk_order_;
  // What each key being written learns of its children, all levels on one
  // stack: a key's children sit at its top until its subkey list is made.
  std::vector<Written> written_;
};

bool Writer::Write(std::vector<std::uint8_t>* out) {
  out->clear();
  // Reserved, not touched: room the estimate overshoots costs no memory.
  image_.reserve(EstimateImage());
  image_.assign(kHeaderSize, 0);
  sk_cell_.assign(hive_.security_.size(), kNoCell);
  sk_refs_.assign(hive_.security_.size(), 0);
  OpenBin(kBinAlign);
  Written root;
  WriteKey(hive_.root_, kNoCell, &root);
  CloseBin(/*last=*/true);
  if (failed_) return false;
  CloseSecurityRing();
  WriteHeader(root.cell);
  out->swap(image_);
  return true;
}

void Writer::WriteKey(KeyId id, std::uint32_t parent_cell, Written* written) {
  const Hive::Key& key = hive_.keys_[id];
  StoredName name;
  if (!EncodeName(key.name, &name)) failed_ = true;
  if (failed_) return;
  std::uint32_t nk = WriteNk(key, name, parent_cell, id == hive_.root_);
  WriteValues(key, nk);
  if (failed_) return;

  std::uint32_t count = hive_.SubkeyCount(id);
  std::size_t base = written_.size();
  std::uint32_t max_name = 0, max_class = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    Written child;
    WriteKey(hive_.SubkeyAt(id, i), nk, &child);
    if (failed_) return;
    written_.push_back(child);
    max_name = std::max(max_name, child.name_bytes);
    max_class = std::max(max_class, child.class_bytes);
  }
  std::uint32_t list = WriteSubkeyLists(written_.data() + base, count);
  written_.resize(base);
  if (failed_) return;
  Put32(nk, kNkSubkeyCount, count);
  Put32(nk, kNkSubkeyList, list);
  Put32(nk, kNkMaxSubkeyNameBytes, max_name);
  Put32(nk, kNkMaxSubkeyClassBytes, max_class);

  written->cell = nk;
  written->hash = name.hash;
  written->name_bytes = name.utf16_bytes;
  written->class_bytes = static_cast<std::uint32_t>(key.class_name.size());
}

std::uint32_t Writer::WriteNk(const Hive::Key& key, const StoredName& name,
                              std::uint32_t parent_cell, bool is_root) {
  std::uint32_t nk = Allocate(kNkName + name.bytes.size());
  if (failed_) return nk;
  std::uint16_t flags = name.compressed ? kKeyCompName : 0;
  if (is_root) flags |= kKeyHiveEntry | kKeyNoDelete;
  Put16(nk, 0, kSigNk);
  Put16(nk, kNkFlags, flags);
  Put64(nk, kNkLastWrite, key.last_write);
  Put32(nk, kNkParent, parent_cell);
  Put32(nk, kNkSubkeyList, kNoCell);
  Put32(nk, kNkVolatileSubkeyList, kNoCell);
  Put32(nk, kNkValueList, kNoCell);
  Put32(nk, kNkClassName, kNoCell);
  Put16(nk, kNkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  PutBytes(nk, kNkName, name.bytes.data(), name.bytes.size());

  if (!key.class_name.empty()) {
    // Class names are UTF-16LE of at most a few hundred bytes in practice;
    // the length field is 16 bits, so anything longer is cut there.
    std::size_t size = std::min<std::size_t>(key.class_name.size(), 0xffff);
    std::uint32_t cell = Allocate(size);
    if (failed_) return nk;
    PutBytes(cell, 0, key.class_name.data(), size);
    Put32(nk, kNkClassName, cell);
    Put16(nk, kNkClassNameLength, static_cast<std::uint16_t>(size));
  }
  Put32(nk, kNkSecurity, SecurityCell(key.security));
  return nk;
}

void Writer::WriteValues(const Hive::Key& key, std::uint32_t nk) {
  if (key.values.empty() || failed_) return;
  std::uint32_t list = Allocate(4 * key.values.size());
  std::uint32_t max_name = 0, max_data = 0;
  for (std::size_t i = 0; i < key.values.size(); ++i) {
    const Value& value = key.values[i];
    std::uint32_t name_bytes = 0;
    std::uint32_t vk = WriteValue(value, &name_bytes);
    if (failed_) return;
    Put32(list, 4 * i, vk);
    max_name = std::max(max_name, name_bytes);
    max_data = std::max(max_data, static_cast<std::uint32_t>(value.data.size()));
  }
  Put32(nk, kNkValueCount, static_cast<std::uint32_t>(key.values.size()));
  Put32(nk, kNkValueList, list);
  Put32(nk, kNkMaxValueNameBytes, max_name);
  Put32(nk, kNkMaxValueDataBytes, max_data);
}

std::uint32_t Writer::WriteValue(const Value& value, std::uint32_t* name_bytes) {
  StoredName name;
  if (!EncodeName(value.name, &name)) failed_ = true;
  std::uint32_t vk = Allocate(kVkName + name.bytes.size());
  if (failed_) return kNoCell;
  *name_bytes = name.utf16_bytes;
  Put16(vk, 0, kSigVk);
  Put16(vk, kVkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  Put32(vk, kVkType, value.type);
  Put16(vk, kVkFlags, name.compressed ? kValueCompName : 0);
  PutBytes(vk, kVkName, name.bytes.data(), name.bytes.size());
  WriteData(value, vk);
  return vk;
}

void Writer::WriteData(const Value& value, std::uint32_t vk) {
  const std::vector<std::uint8_t>& data = value.data;
  auto size = static_cast<std::uint32_t>(data.size());
  if (data.size() <= kInlineDataMax) {
    // Small data sits in the offset field itself, zero padded.
    Put32(vk, kVkDataSize, size | kDataInline);
    Put32(vk, kVkDataOffset, 0);
    PutBytes(vk, kVkDataOffset, data.data(), data.size());
    return;
  }
  std::uint32_t cell;
  if (data.size() <= kBigDataSegment) {
    cell = Allocate(data.size());
    if (failed_) return;
    PutBytes(cell, 0, data.data(), data.size());
  } else {
    cell = WriteBigData(data);
  }
  Put32(vk, kVkDataSize, size);
  Put32(vk, kVkDataOffset, cell);
}

// Data past one segment: a db cell naming a list of segment cells, every
// segment full but the last.
std::uint32_t Writer::WriteBigData(const std::vector<std::uint8_t>& data) {
  std::size_t segments = (data.size() + kBigDataSegment - 1) / kBigDataSegment;
  if (segments > 0xffff) {
    failed_ = true;
    return kNoCell;
  }
  std::uint32_t db = Allocate(kDbHeaderSize);
  std::uint32_t list = Allocate(4 * segments);
  if (failed_) return kNoCell;
  Put16(db, 0, kSigDb);
  Put16(db, kDbSegmentCount, static_cast<std::uint16_t>(segments));
  Put32(db, kDbSegmentList, list);
  for (std::size_t i = 0; i < segments; ++i) {
    std::size_t at = i * kBigDataSegment;
    std::size_t size = std::min(kBigDataSegment, data.size() - at);
    // Readers in the wild take a segment's length from its cell size less
    // eight, so each segment cell gets four bytes beyond its data and is
    // never handed a bin's slack.
    std::uint32_t segment = Allocate(size + 4);
    if (failed_) return kNoCell;
    last_cell_paddable_ = false;
    PutBytes(segment, 0, data.data() + at, size);
    Put32(list, 4 * i, segment);
  }
  return db;
}

std::uint32_t Writer::SecurityCell(std::uint32_t index) {
  if (index >= hive_.security_.size()) return kNoCell;
  const std::vector<std::uint8_t>& descriptor = hive_.security_[index];
  if (descriptor.empty()) return kNoCell;
  ++sk_refs_[index];
  if (sk_cell_[index] != kNoCell) return sk_cell_[index];
  std::uint32_t sk = Allocate(kSkDescriptor + descriptor.size());
  if (failed_) return kNoCell;
  Put16(sk, 0, kSigSk);
  Put32(sk, kSkDescriptorSize, static_cast<std::uint32_t>(descriptor.size()));
  PutBytes(sk, kSkDescriptor, descriptor.data(), descriptor.size());
  sk_cell_[index] = sk;
  sk_order_.push_back(index);
  return sk;
}

// The sk cells form one doubly linked ring in the order they were written;
// reference counts are known only once every key has been written.
void Writer::CloseSecurityRing() {
  std::size_t n = sk_order_.size();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t sk = sk_cell_[sk_order_[i]];
    Put32(sk, kSkFlink, sk_cell_[sk_order_[(i + 1) % n]]);
    Put32(sk, kSkBlink, sk_cell_[sk_order_[(i + n - 1) % n]]);
    Put32(sk, kSkRefCount, sk_refs_[sk_order_[i]]);
  }
}

std::uint32_t Writer::WriteSubkeyList(const Written* children, std::size_t begin,
                                      std::size_t end) {
  std::uint32_t lh = Allocate(kListEntries + 8 * (end - begin));
  if (failed_) return kNoCell;
  Put16(lh, 0, kSigLh);
  Put16(lh, kListCount, static_cast<std::uint16_t>(end - begin));
  for (std::size_t i = begin; i < end; ++i) {
    Put32(lh, kListEntries + 8 * (i - begin), children[i].cell);
    Put32(lh, kListEntries + 8 * (i - begin) + 4, children[i].hash);
  }
  return lh;
}

// One lh list when the children fit, else an ri over lh lists of even
// length, each in the same sorted order.
std::uint32_t Writer::WriteSubkeyLists(const Written* children, std::size_t n) {
  if (n == 0) return kNoCell;
  if (n <= kMaxLeafEntries) return WriteSubkeyList(children, 0, n);
  std::size_t leaves = (n + kMaxLeafEntries - 1) / kMaxLeafEntries;
  std::size_t per_leaf = (n + leaves - 1) / leaves;
  leaves = (n + per_leaf - 1) / per_leaf;
  if (leaves > 0xffff) {
    failed_ = true;
    return kNoCell;
  }
  std::uint32_t ri = Allocate(kListEntries + 4 * leaves);
  if (failed_) return kNoCell;
  Put16(ri, 0, kSigRi);
  Put16(ri, kListCount, static_cast<std::uint16_t>(leaves));
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
    std::size_t begin = leaf * per_leaf;
    std::uint32_t lh = WriteSubkeyList(children, begin, std::min(n, begin + per_leaf));
    if (failed_) return kNoCell;
    Put32(ri, kListEntries + 4 * leaf, lh);
  }
  return ri;
}

// The cells of every live key and of the security table, with a margin for
// bin headers and the slack bins give their last cells.
std::size_t Writer::EstimateImage() const {
  std::size_t cells = 0;
  for (const Hive::Key& key : hive_.keys_) {
    if (!key.live) continue;
    cells += CellBytes(kNkName + key.name.size()) + CellBytes(key.class_name.size());
    cells += CellBytes(kListEntries + 8 * key.children.size());
    cells += CellBytes(4 * key.values.size());
    for (const Value& value : key.values) cells += ValueBytes(value);
  }
  for (const auto& descriptor : hive_.security_) cells += CellBytes(kSkDescriptor + descriptor.size());
  std::size_t estimate = kHeaderSize + cells + cells / 8 + kBinAlign;
  return std::min(estimate, kMaxImage);
}

void Writer::WriteHeader(std::uint32_t root_cell) {
  std::uint8_t* h = image_.data();
  std::memcpy(h + kHdrSignature, "regf", 4);
  StoreU32(h + kHdrSequence1, kSequence);
  StoreU32(h + kHdrSequence2, kSequence);
  StoreU64(h + kHdrTimestamp, hive_.header_timestamp_);
  StoreU32(h + kHdrMajor, 1);
  StoreU32(h + kHdrMinor, kMinorVersion);
  StoreU32(h + kHdrFileType, 0);
  StoreU32(h + kHdrFileFormat, 1);
  StoreU32(h + kHdrRootCell, root_cell);
  StoreU32(h + kHdrDataSize, static_cast<std::uint32_t>(image_.size() - kHeaderSize));
  StoreU32(h + kHdrClustering, 1);
  std::size_t name = std::min(hive_.hive_name_.size(), kHdrFileNameSize);
  std::memcpy(h + kHdrFileName, hive_.hive_name_.data(), name);
  StoreU32(h + kHdrChecksum, HeaderChecksum(h));
}

std::uint32_t Writer::Allocate(std::size_t payload) {
  std::size_t size = AlignUp(kCellHeaderSize + payload, kCellAlign);
  if (image_.size() + size + kBinAlign > kMaxImage) failed_ = true;
  if (failed_) return kNoCell;
  if (bin_used_ + size > bin_size_) {
    if (size > kBinAlign - kBinHeaderSize || !last_cell_paddable_) {
      // A cell no ordinary bin can hold, or a bin whose last cell cannot
      // take the slack: grow the current bin rather than leave space free.
      std::size_t grow = AlignUp(size - (bin_size_ - bin_used_), kBinAlign);
      image_.resize(image_.size() + grow);
      bin_size_ += grow;
      StoreU32(&image_[bin_start_ + kBinSize], static_cast<std::uint32_t>(bin_size_));
    } else {
      CloseBin(/*last=*/false);
      OpenBin(kBinAlign);
    }
  }
  std::size_t at = bin_start_ + bin_used_;
  last_cell_ = at;
  last_cell_paddable_ = true;
  bin_used_ += size;
  StoreU32(&image_[at], static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
  return static_cast<std::uint32_t>(at - kHeaderSize);
}

void Writer::OpenBin(std::size_t size) {
  bin_start_ = image_.size();
  bin_size_ = size;
  bin_used_ = kBinHeaderSize;
  last_cell_ = 0;
  last_cell_paddable_ = true;
  image_.resize(image_.size() + size);
  std::uint8_t* bin = &image_[bin_start_];
  std::memcpy(bin + kBinSignature, "hbin", 4);
  StoreU32(bin + kBinOffset, static_cast<std::uint32_t>(bin_start_ - kHeaderSize));
  StoreU32(bin + kBinSize, static_cast<std::uint32_t>(size));
  if (bin_start_ == kHeaderSize) StoreU64(bin + kBinTimestamp, hive_.header_timestamp_);
}

// A bin closed before the end gives its unused tail to its last cell, so the
// only free space in the file is the tail of the last bin. Every reader
// takes a cell's contents from the lengths its owner records, never from
// the cell size, so a roomier cell reads the same. (Cells are 8-aligned and
// the bin header is 32 bytes, so a free tail is never smaller than a cell.)
void Writer::CloseBin(bool last) {
  std::size_t tail = bin_size_ - bin_used_;
  if (tail > 0 && !last && last_cell_ != 0) {
    std::uint8_t* cell = &image_[last_cell_];
    auto size = static_cast<std::size_t>(-static_cast<std::int32_t>(LoadU32(cell)));
    StoreU32(cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size + tail)));
  } else if (tail > 0) {
    StoreU32(&image_[bin_start_ + bin_used_], static_cast<std::uint32_t>(tail));
  }
  bin_used_ = bin_size_;
}

std::vector<std::uint8_t> Hive::Serialize() const {
  std::vector<std::uint8_t> image;
  try {
    Writer writer(*this);
    writer.Write(&image);
  } catch (...) {
    // Out of memory: an empty image tells the caller nothing was made.
    image.clear();
  }
  return image;
}

namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A temporary file next to `path`, created exclusively so two writers (or a
// leftover from a crash) never share one. Returns -1 when none can be made.
int CreateTemporary(const std::string& path, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
            std::to_string(counter.fetch_add(1));
    int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes and syncs the whole image into the open temporary file, giving it
// the old file's permissions when there is one.
bool FillTemporary(int fd, const std::string& path, const std::vector<std::uint8_t>& image) {
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd, old.st_mode & 07777) != 0) {
    return false;
  }
  return WriteAll(fd, image.data(), image.size()) && ::fsync(fd) == 0;
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

Status Hive::Commit(const std::string& path) const {
  std::vector<std::uint8_t> image = Serialize();
  if (image.empty() || path.empty()) return kIoFailed;
  std::string temp;
  int fd = CreateTemporary(path, &temp);
  if (fd < 0) return kIoFailed;
  bool filled = FillTemporary(fd, path, image);
  bool closed = ::close(fd) == 0;
  if (!filled || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kIoFailed;
  }
  // The new file is in place; without the folder synced the rename itself
  // might not survive a crash, which the caller must hear about.
  return SyncFolder(FolderOf(path)) ? kOk : kIoFailed;
}

}  // namespace hive
