#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace folium::fp {

// The user's private folder for downloaded contents: "folium-<uid>" in the temporary
// directory ($TMPDIR when it is an absolute path, else /tmp).
std::filesystem::path downloadsFolder();

// A new file being written, under a name of its own that nobody could have taken or
// planted a link at: created 0600 with O_EXCL and O_NOFOLLOW. Removed when destroyed unless
// it was kept. Not thread-safe: one writer owns it. Failures throw std::system_error naming
// the file.
class PartialFile {
 public:
  // A file in `folder` named `prefix` followed by 64 random hexadecimal digits.
  PartialFile(const std::filesystem::path& folder, std::string_view prefix = {});
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void write(std::string_view bytes);
  // Closes the file (a failed close is a failed write) and leaves it in place.
  std::filesystem::path keep();
  // Closes the file and renames it over `destination`, atomically.
  void keepAs(const std::filesystem::path& destination);

 private:
  void close();

  std::filesystem::path path_;
  int fd_ = -1;
  bool kept_ = false;
};

// Writes `contents` to a new PartialFile in `folder`, created private (platform::makePrivateFolder)
// and returns its path. The file is the caller's to move or remove.
std::filesystem::path writeTemporaryFile(const std::filesystem::path& folder,
                                         std::string_view contents);

}  // namespace folium::fp
