#include "platform/files/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/files/file_descriptor.hpp"

namespace folium::platform {

std::string readWholeFile(const std::filesystem::path& path, const WholeFileLimits& limits,
                          std::string_view what) {
  auto failure = [&](int error, std::string_view reason = {}) {
    return FileReadError(error, std::string(what) + " " + path.string() + ": " +
                                    (reason.empty() ? std::strerror(error) : std::string(reason)));
  };
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer. Regular files
  // ignore the flag.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (limits.regularOnly ? O_NONBLOCK : 0);
  FileDescriptor fd(::open(path.c_str(), flags));
  if (!fd) throw failure(errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throw failure(errno);
  if (S_ISDIR(status.st_mode)) throw failure(EISDIR);
  if (limits.regularOnly && !S_ISREG(status.st_mode)) throw failure(EINVAL, "not a regular file");
  const std::size_t cap = limits.maxBytes.value_or(std::string().max_size());
  auto tooLarge = [&] {
    return failure(EFBIG, "larger than " + std::to_string(cap >> 10) + " KiB");
  };
  std::string data;
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    if (static_cast<std::size_t>(status.st_size) > cap) throw tooLarge();
    data.reserve(static_cast<std::size_t>(status.st_size));
  }
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      throw failure(errno);
    }
    // The file may grow while it is read.
    if (static_cast<std::size_t>(count) > cap - data.size()) throw tooLarge();
    data.append(buffer, static_cast<std::size_t>(count));
  }
  return data;
}

}  // namespace folium::platform
