#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace folium::platform {

// A file that could not be read whole. Carries the errno; the message names the file and
// the reason: "cannot read profile file /home/u/p.foliumprofile: not a regular file".
class FileReadError : public std::system_error {
 public:
  FileReadError(int error, std::string message)
      : std::system_error(error, std::generic_category()), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// What a reader accepts. Small inputs (profiles, token files) ask for a regular file under
// a cap, so that a FIFO cannot block the reader and /dev/zero cannot fill its memory.
struct WholeFileLimits {
  std::optional<std::size_t> maxBytes;
  bool regularOnly = false;
};

// Files a person writes by hand or downloads: far below this.
inline constexpr WholeFileLimits kSmallFile{std::size_t{1} << 20, true};

// The whole file in memory. `what` begins the message of a failure ("cannot read profile
// file"), followed by the path and the reason. Throws FileReadError.
std::string readWholeFile(const std::filesystem::path& path, const WholeFileLimits& limits = {},
                          std::string_view what = "cannot read");

}  // namespace folium::platform
