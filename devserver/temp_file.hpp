#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace folium::devserver {

// A private (0600) file created exclusively in a given folder, removed on destruction
// unless it was moved into place with `commitTo`. Move-only; one thread at a time.
class TempFile {
 public:
  // Throws std::system_error naming the folder.
  explicit TempFile(const std::filesystem::path& dir);
  ~TempFile();
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Appends bytes; throws std::system_error.
  void write(std::string_view data);
  std::int64_t size() const { return size_; }
  const std::filesystem::path& path() const { return path_; }

  // Flushes the contents to disk and closes the file, so that a later rename publishes
  // complete contents or nothing.
  void finish();
  // Renames the finished file to `target` (atomically replacing it); afterwards the
  // destructor leaves it alone.
  void commitTo(const std::filesystem::path& target);

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::int64_t size_ = 0;
  bool committed_ = false;
};

}  // namespace folium::devserver
