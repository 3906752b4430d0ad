#include "fileprovider/local_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <system_error>
#include <utility>

#include "platform/files/file_descriptor.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::fp {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

using platform::FileDescriptor;

std::filesystem::path absoluteDirectoryFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value != '/') return {};
  return value;
}

// 128 random bits in hex: a name nobody else can predict or have taken.
std::string uniqueName() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t bits = random();
    for (int j = 0; j < 4; ++j) {
      name += kHex[bits & 0xF];
      name += kHex[(bits >> 4) & 0xF];
      bits >>= 8;
    }
  }
  return name;
}

}  // namespace

std::filesystem::path downloadsFolder() {
  // Not the runtime folder: it lives in memory and is kept small, and contents can be large.
  std::filesystem::path base = absoluteDirectoryFromEnvironment("TMPDIR");
  if (base.empty()) base = "/tmp";
  return base / ("folium-" + std::to_string(::geteuid()));
}

PartialFile::PartialFile(const std::filesystem::path& folder, std::string_view prefix) {
  // Random bits: a clash means someone else's file, and a fresh name is tried.
  for (int attempt = 0;; ++attempt) {
    path_ = folder / (std::string(prefix) + uniqueName());
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0) break;
    if (errno != EEXIST || attempt == 3) fail(errno, "cannot write " + path_.string());
  }
  // The umask may have taken bits away; 0600 is wanted, no more and no less.
  if (::fchmod(fd_, 0600) != 0) {
    const int error = errno;
    ::close(fd_);
    ::unlink(path_.c_str());
    fail(error, "cannot write " + path_.string());
  }
}

PartialFile::~PartialFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!kept_) ::unlink(path_.c_str());
}

void PartialFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd_, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      fail(errno, "cannot write " + path_.string());
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
}

void PartialFile::close() {
  // Don't retry close in case of EINTR: the descriptor is gone either way.
  const int result = ::close(std::exchange(fd_, -1));
  if (result != 0) fail(errno, "cannot write " + path_.string());
}

std::filesystem::path PartialFile::keep() {
  close();
  kept_ = true;
  return path_;
}

void PartialFile::keepAs(const std::filesystem::path& destination) {
  close();
  if (::rename(path_.c_str(), destination.c_str()) != 0) {
    fail(errno, "cannot write " + destination.string());
  }
  kept_ = true;
}

std::filesystem::path writeTemporaryFile(const std::filesystem::path& folder,
                                         std::string_view contents) {
  platform::makePrivateFolder(folder);
  PartialFile file(folder);
  file.write(contents);
  return file.keep();
}

}  // namespace folium::fp
