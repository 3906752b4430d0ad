#include "app/cli/read_whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/cli/cli_context.hpp"

namespace folium::app {

// The whole file in memory, read straight into the buffer that is sent. Works for pipes
// too; a folder or an unreadable file is named with the system's reason.
std::string readWholeFile(const std::string& path, std::string_view failurePrefix) {
  auto failure = [&](int error) {
    return CliFailure(std::string(failurePrefix) + path + ": " + std::strerror(error));
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw failure(errno);
  std::string data;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    data.resize(static_cast<std::size_t>(info.st_size));
  }
  std::size_t used = 0;
  char buffer[65536];
  for (;;) {
    const bool inPlace = used < data.size();
    char* target = inPlace ? data.data() + used : buffer;
    const std::size_t room = inPlace ? data.size() - used : sizeof buffer;
    const ssize_t n = ::read(fd, target, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw failure(error);
    }
    if (n == 0) break;
    if (!inPlace) data.append(buffer, static_cast<std::size_t>(n));
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(used);
  return data;
}

}  // namespace folium::app
