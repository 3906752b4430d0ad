#include "devserver/temp_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace folium::devserver {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TempFile::TempFile(const std::filesystem::path& dir) {
  std::string pattern = (dir / "upload-XXXXXX").string();
  // mkostemp creates the file 0600 and exclusively.
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throwErrno("cannot create a temporary file in " + dir.string());
  path_ = pattern;
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !path_.empty()) ::unlink(path_.c_str());
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      committed_(other.committed_) {
  other.path_.clear();
}

void TempFile::write(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot write " + path_.string());
    }
    data.remove_prefix(static_cast<size_t>(n));
    size_ += n;
  }
}

void TempFile::finish() {
  if (fd_ < 0) return;
  if (::fdatasync(fd_) != 0) throwErrno("cannot flush " + path_.string());
  int fd = std::exchange(fd_, -1);
  // Don't retry close on EINTR: the descriptor is gone either way on Linux.
  if (::close(fd) != 0 && errno != EINTR) throwErrno("cannot close " + path_.string());
}

void TempFile::commitTo(const std::filesystem::path& target) {
  finish();
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    throwErrno("cannot move " + path_.string() + " to " + target.string());
  }
  committed_ = true;
}

}  // namespace folium::devserver
