#include "platform/files/private_folder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace folium::platform {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

void makePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::path built;
  for (const auto& part : folder) {
    built /= part;
    if (::mkdir(built.c_str(), 0700) == 0) {
      // The umask may have taken bits away, never added any: 0700 stands unless it was
      // stricter, which would lock the user out.
      if (::chmod(built.c_str(), 0700) != 0) fail(errno, "cannot set up folder " + built.string());
      continue;
    }
    if (errno != EEXIST) fail(errno, "cannot create folder " + built.string());
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    fail(errno, "cannot inspect folder " + folder.string());
  }
  if (!S_ISDIR(status.st_mode)) fail(ENOTDIR, "not a folder: " + folder.string());
  if (status.st_uid != ::geteuid()) {
    fail(EACCES, "folder " + folder.string() + " belongs to another user");
  }
  if ((status.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    fail(errno, "cannot make folder " + folder.string() + " private");
  }
}

}  // namespace folium::platform
