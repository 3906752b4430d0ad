#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace folium::platform {

// Owns one open file descriptor and closes it on destruction. Move-only; not thread-safe.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    // Don't retry close in case of EINTR: the descriptor is gone either way.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and returns close's errno, or 0: a written file must hear of a late failure.
  [[nodiscard]] int close() noexcept {
    if (fd_ < 0) return 0;
    return ::close(release()) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace folium::platform
