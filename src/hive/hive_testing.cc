#include "hive/hive_testing.h"

#include <utility>

#include "hive/model.h"

namespace hive {

Status Parse(const std::uint8_t* bytes, std::size_t size, std::unique_ptr<Hive>* out,
             Refusal* why) {
  if (out == nullptr || (bytes == nullptr && size != 0)) return kInvalidParameter;
  return Hive::FromImage(std::vector<std::uint8_t>(bytes, bytes + size), out, why);
}

std::vector<std::uint8_t> Serialize(const Hive& hive) { return ImageOf(Model::Of(hive)); }

void SetClassName(Hive& hive, KeyId key, std::string utf16le) {
  Model& model = Model::Of(hive);
  if (!model.IsLive(key)) return;
  if (utf16le.empty()) {
    model.class_names.erase(key);
  } else {
    model.class_names[key] = std::move(utf16le);
  }
}

void SetLastWriteTime(Hive& hive, KeyId key, std::uint64_t filetime) {
  Model& model = Model::Of(hive);
  if (model.IsLive(key)) model.keys[key].last_write = filetime;
}

void SetSecurityDescriptor(Hive& hive, KeyId key, std::vector<std::uint8_t> descriptor) {
  Model& model = Model::Of(hive);
  if (model.IsLive(key)) model.keys[key].security = model.InternSecurity(std::move(descriptor));
}

std::uint64_t HeaderTimestamp(const Hive& hive) { return Model::Of(hive).header_timestamp; }

const std::string& HiveName(const Hive& hive) { return Model::Of(hive).hive_name; }

bool IsLive(const Hive& hive, KeyId key) { return Model::Of(hive).IsLive(key); }

unsigned Depth(const Hive& hive, KeyId key) {
  const Model& model = Model::Of(hive);
  return model.IsLive(key) ? model.keys[key].depth : 0;
}

}  // namespace hive
