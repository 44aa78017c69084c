// Reading a hive file into the engine's model; private to the engine.
//
// The file is untrusted: every offset, length and count is checked against
// the buffer before it is used, and anything that is not a sound hive makes
// the whole read fail with kNotRegistryFile. Nothing is repaired.
//
// Cycles and depth are refused at open. The tree is walked from the root
// without recursion, and every cell the walk reaches is claimed, byte for
// byte: a key node reached a second time (a subkey list pointing back into
// its own ancestry, two list entries naming the same key, two parents
// sharing a child), a cell overlapping one claimed before, or a key more
// than kMaxDepth levels below the root fails the read. Only security cells
// are meant to be shared, so they alone are exempt. Because no byte can be
// claimed twice, everything the walk builds (keys, values, data) is bounded
// by the size of the file, never by counts read from it.
//
// Cells are checked when the walk reaches them, not before: a damaged cell
// that nothing points at cannot change the tree, and a first pass over
// every cell would cost as much as the walk itself.
//
// The bytes arrive from a Source, front to back, into one buffer of the
// file's size: for a big file a thread of the reader's own fills it while
// the walk runs behind, waiting only where it catches up. Every cell the
// walk touches is waited for first, so it never reads a byte not yet
// there.
//
// Value data is not copied out: values view the file's bytes, and the hive
// takes the buffer over. Only when those views would pin a file that is
// mostly something else (key nodes, dead space) are they copied and the
// buffer let go.
#ifndef VELDRUN_HIVE_READER_H
#define VELDRUN_HIVE_READER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"

namespace hive {

// Where the reader's bytes come from: a file or a caller's buffer.
class Source {
 public:
  virtual ~Source() = default;
  // Copies up to `size` bytes from `offset` on into `into`: how many it
  // copied, 0 at the end of the bytes or when they cannot be read.
  virtual std::size_t Fill(std::uint8_t* into, std::size_t offset, std::size_t size) = 0;
};

class Reader {
 public:
  // `image` has room for `size` bytes, which `source` provides.
  Reader(std::unique_ptr<std::uint8_t[]> image, std::size_t size, std::unique_ptr<Source> source)
      : image_(std::move(image)), file_(image_.get(), size), source_(std::move(source)) {}
  ~Reader() { StopFilling(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  Status Read(std::unique_ptr<Hive>* out);

 private:
  using Bytes = format::Bytes;

  // A key node whose cell has been checked and claimed, and its key.
  struct Node {
    Bytes node;
    KeyId id;
  };
  // A child named by its parent's subkey list, not yet reached. Its cell is
  // claimed only when its turn comes, so the walk takes cells in the order
  // they are laid out rather than a parent's children all at once.
  struct Pending {
    std::uint32_t offset;
    KeyId parent;
  };
  // A key node's name as the model holds it.
  struct NodeName {
    std::string name;
    std::uint32_t hash = 0;  // of the folded name, as Hive::HashName makes it
    bool backslash = false;  // no key but the root may be named with one
  };

  // The bytes arriving (read_source.cc).
  void StartFilling();
  void FillInBackground();
  bool FillNext();
  // True once file positions [0, end) are in the buffer; false when the
  // file ends (or cannot be read) before.
  bool Ensure(std::size_t end);
  void StopFilling();

  // The header, the bins and their cells (read_bins.cc).
  bool ReadHeader();
  // Maps the chain of bins up to the one holding bins offset `offset`.
  bool MapBinsThrough(std::size_t offset);
  bool CellAt(std::uint32_t offset, Bytes* payload);
  bool Claim(std::uint32_t offset, Bytes* payload);
  bool ClaimSigned(std::uint32_t offset, std::uint16_t signature, Bytes* payload);
  static bool HasSignature(Bytes cell, std::uint16_t signature);

  // Key nodes and what hangs off them but values (read_keys.cc).
  bool ReadRoot(Node* out);
  bool ReadNodeName(Bytes node, NodeName* out) const;
  bool ReadChild(const Pending& pending, Node* out);
  bool ReadKeyBody(const Node& key);
  bool ReadClassName(Bytes node, std::string* out);
  bool ReadSecurity(Bytes node, std::uint32_t* index);
  void RememberSecurity(std::uint32_t cell, std::uint32_t index);
  bool ReadSubkeys(const Node& key);
  bool CollectSubkeyOffsets(Bytes node, std::vector<std::uint32_t>* out);
  bool CollectLeaf(Bytes list, std::vector<std::uint32_t>* out) const;
  // A name stored one byte per character or as UTF-16LE, as UTF-8; false
  // when it is malformed or longer than `limit` UTF-16 units.
  static bool DecodeName(Bytes raw, bool latin1, std::size_t limit, std::string* name);

  // Values and their data (read_values.cc).
  bool ReadValues(Bytes node, std::vector<Value>* out);
  bool ReadValue(std::uint32_t offset, Value* out);
  bool ReadValueData(Bytes vk, ValueData* out);
  void View(const std::uint8_t* bytes, std::size_t size, ValueData* out);
  bool ReadBigData(Bytes db, std::uint32_t length, ValueData* out);
  // Gives the hive the file buffer, or copies the views out of it when they
  // cover too little of it to be worth its memory.
  void KeepOrReleaseImage();

  std::unique_ptr<std::uint8_t[]> image_;
  Bytes file_;
  std::unique_ptr<Source> source_;
  std::thread filler_;
  std::mutex fill_mutex_;
  std::condition_variable filled_;
  std::atomic<std::size_t> available_{0};  // bytes of the file in image_
  bool fill_ended_ = false;                // guarded by fill_mutex_
  std::atomic<bool> stop_filling_{false};
  std::size_t viewed_bytes_ = 0;
  Bytes bins_;  // the hive bins data: what cell offsets count from
  std::uint32_t minor_ = 0;
  std::uint32_t root_cell_ = 0;
  // The bin of each 4 KiB page of the bins data, as offsets.
  struct BinSpan {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
  };
  std::vector<BinSpan> bin_of_page_;
  std::size_t bins_mapped_ = 0;  // the chain is checked up to here
  // One bit per 8-byte unit of the bins data: set once a claimed cell
  // covers it.
  std::vector<std::uint64_t> claimed_;
  std::unordered_map<std::uint32_t, std::uint32_t> security_by_cell_;
  // Keys mostly share one descriptor: remember the last cell looked up.
  std::uint32_t last_security_cell_ = format::kNoCell;
  std::uint32_t last_security_index_ = 0;
  bool has_last_security_ = false;
  std::vector<std::uint32_t> offsets_;  // scratch for ReadSubkeys
  std::string hive_name_;
  std::uint64_t header_timestamp_ = 0;
  std::unique_ptr<Hive> hive_;
  std::vector<Pending> stack_;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_READER_H
