#include "platform/fileprovider/service/domain_registry.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/fileprovider/service/service_paths.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::platform::service {
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Holds the registry's lock file locked for its lifetime.
class FileLock {
 public:
  FileLock(const fs::path& path, int operation) {
    makePrivateFolder(path.parent_path());
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) throwErrno("cannot open the lock file " + path.string());
    while (::flock(fd_, operation) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        throwErrno("cannot lock " + path.string());
      }
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

fs::path lockPath(const fs::path& file) { return fs::path(file.string() + ".lock"); }

std::vector<FileProviderDomain> readList(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throwErrno("cannot read the domain list " + file.string());
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      throwErrno("cannot read the domain list " + file.string());
    }
    if (count == 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);

  auto broken = [&](const std::string& why) -> std::runtime_error {
    return std::runtime_error("the domain list " + file.string() + " is damaged (" + why +
                              "); fix or move it aside, then register the drives again");
  };
  json::value value;
  try {
    value = json::parse(text);
  } catch (const std::exception& e) {
    throw broken(e.what());
  }
  if (!value.is_array()) throw broken("not a JSON array");
  std::vector<FileProviderDomain> domains;
  for (const auto& entry : value.as_array()) {
    const json::object* object = entry.if_object();
    const json::value* identifier = object ? object->if_contains("identifier") : nullptr;
    const json::value* displayName = object ? object->if_contains("displayName") : nullptr;
    if (!identifier || !identifier->is_string() || !displayName || !displayName->is_string()) {
      throw broken("an entry lacks \"identifier\" or \"displayName\"");
    }
    domains.push_back(
        {std::string(identifier->as_string()), std::string(displayName->as_string())});
  }
  return domains;
}

void writeList(const fs::path& file, const std::vector<FileProviderDomain>& domains) {
  json::array array;
  for (const auto& domain : domains) {
    array.push_back(
        json::object{{"identifier", domain.identifier}, {"displayName", domain.displayName}});
  }
  const std::string text = json::serialize(array) + "\n";
  const fs::path temporary = file.string() + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throwErrno("cannot write the domain list " + temporary.string());
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      errno = error;
      throwErrno("cannot write the domain list " + temporary.string());
    }
    written += static_cast<std::size_t>(count);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    throwErrno("cannot write the domain list " + temporary.string());
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    throwErrno("cannot replace the domain list " + file.string());
  }
}

}  // namespace

DomainRegistry::DomainRegistry(fs::path file) : file_(std::move(file)) {}

std::vector<FileProviderDomain> DomainRegistry::load() const {
  if (!fs::exists(file_.parent_path())) return {};
  FileLock lock(lockPath(file_), LOCK_SH);
  return readList(file_);
}

std::vector<FileProviderDomain> DomainRegistry::update(
    const std::function<void(std::vector<FileProviderDomain>&)>& change) {
  FileLock lock(lockPath(file_), LOCK_EX);
  std::vector<FileProviderDomain> domains = readList(file_);
  const std::vector<FileProviderDomain> before = domains;
  change(domains);
  if (domains != before) writeList(file_, domains);
  return domains;
}

}  // namespace folium::platform::service
