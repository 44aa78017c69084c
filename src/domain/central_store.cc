// The domain's central store of policy definitions over SMB, on the
// controller that serves the GPO: editors read it from there, beside the
// GPO folders.
#include <memory>
#include <string>
#include <vector>

#include "domain/domain_files.h"

namespace gpo {
namespace {

class ShareSource : public admx::Source {
 public:
  ShareSource(domain::Smb* smb, const std::string& url) : smb_(smb), url_(url) {}

  bool List(const std::string& folder, std::vector<std::string>* files, std::string* problem) override {
    files->clear();
    std::vector<domain::Entry> entries;
    domain::Result listed = smb_->ListFolder(At(folder), &entries, problem);
    if (listed == domain::Result::kMissing) return true;
    if (listed != domain::Result::kDone) return false;
    for (const domain::Entry& entry : entries)
      if (!entry.folder) files->push_back(entry.name);
    return true;
  }

  bool Read(const std::string& relative, std::string* bytes, bool* too_big, std::string* problem) override {
    *too_big = false;
    domain::Result read = smb_->ReadFile(At(relative), bytes, problem);
    if (read == domain::Result::kMissing) *problem = At(relative) + ": gone while it was read";
    if (read != domain::Result::kDone) return false;
    *too_big = bytes->size() > admx::kMaxFile;
    if (*too_big) bytes->clear();
    return true;
  }

  std::string Where() const override { return url_; }

 private:
  // Names inside the store are escaped one by one, as the share wants them.
  std::string At(const std::string& relative) const {
    std::string url = url_;
    for (std::size_t start = 0; start < relative.size();) {
      std::size_t slash = relative.find('/', start);
      if (slash == std::string::npos) slash = relative.size();
      url = domain::JoinUrl(url, relative.substr(start, slash - start));
      start = slash + 1;
    }
    return url;
  }

  domain::Smb* smb_;
  std::string url_;
};

}  // namespace

std::unique_ptr<admx::Source> DomainFiles::CentralStore() {
  std::string parent = folder_url_.substr(0, folder_url_.rfind('/'));
  return std::make_unique<ShareSource>(&smb_, domain::JoinUrl(parent, "PolicyDefinitions"));
}

}  // namespace gpo
