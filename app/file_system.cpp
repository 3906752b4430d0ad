#include "app/file_system.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace folium::app {

std::string LocalFileSystem::readWholeFile(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw std::runtime_error("cannot read " + path.string() + ": Is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  return std::move(bytes).str();
}

FileSystem::Status LocalFileSystem::status(const std::filesystem::path& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) return {};
  return {true, std::filesystem::is_directory(status)};
}

}  // namespace folium::app
