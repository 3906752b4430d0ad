#include "app/file_system.hpp"

#include "platform/files/whole_file.hpp"

namespace folium::app {

std::string LocalFileSystem::readWholeFile(const std::filesystem::path& path) {
  // Only profile files are read here: a FIFO must not block the window, nor /dev/zero fill
  // the memory.
  return platform::readWholeFile(path, platform::kSmallFile);
}

FileSystem::Status LocalFileSystem::status(const std::filesystem::path& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) return {};
  return {true, std::filesystem::is_directory(status)};
}

}  // namespace folium::app
