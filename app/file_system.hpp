#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace folium::app {

// What the application asks of the local file system. Any thread may call.
class FileSystem {
 public:
  struct Status {
    bool exists = false;
    bool isDirectory = false;
  };

  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // The whole file, when it is a regular file of at most 1 MiB (a profile). Throws
  // std::runtime_error naming the file and the reason ("cannot read /home/u/x.foliumprofile:
  // Permission denied", "…: not a regular file").
  virtual std::string readWholeFile(const std::filesystem::path& path) = 0;
  // Whether something exists at `path` (links followed) and whether it is a folder.
  virtual Status status(const std::filesystem::path& path) = 0;
};

// The machine's own file system.
class LocalFileSystem final : public FileSystem {
 public:
  std::string readWholeFile(const std::filesystem::path& path) override;
  Status status(const std::filesystem::path& path) override;
};

}  // namespace folium::app
