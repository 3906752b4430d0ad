#include "app/cli/cli_context.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/shared_store.hpp"

namespace folium::app {
namespace {

std::string readProfileBytes(const std::string& path) {
  auto failure = [&](int error) {
    return CliFailure("cannot read profile file " + path + ": " + std::strerror(error));
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw failure(errno);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw failure(error);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

[[noreturn]] void failUnreadable(const StoreContents& contents) {
  throw CliFailure("cannot read the profile store: " + contents.message);
}

}  // namespace

FoliumProvisioning readProfileFile(const std::string& path) {
  const std::string bytes = readProfileBytes(path);
  try {
    return FoliumProvisioning::decode(bytes);
  } catch (const std::exception& e) {
    throw CliFailure("cannot read profile file " + path + ": " + e.what());
  }
}

FoliumProvisioning CliContext::resolveProfile() const {
  if (profileGiven && domainGiven) {
    throw CliFailure("--profile and --domain name two instances: pass only one of them");
  }
  if (profileGiven) return readProfileFile(profilePath);

  const SharedStore store(SharedStore::appGroupID);
  if (domainGiven) {
    if (auto stored = store.provisioning(domain)) return *stored;
    if (auto contents = store.contents(); contents.state == StoreContents::State::unreadable) {
      failUnreadable(contents);
    }
    throw CliFailure("no profile stored for " + domain);
  }

  const StoreContents contents = store.contents();
  if (contents.state == StoreContents::State::unreadable) failUnreadable(contents);
  if (contents.profiles.size() == 1) return contents.profiles.front();
  if (contents.profiles.empty()) {
    throw CliFailure("no profile stored: pass --profile FILE or --domain ID");
  }
  std::string domains;
  for (const auto& profile : contents.profiles) {
    if (!domains.empty()) domains += ", ";
    domains += profile.domainIdentifier();
  }
  throw CliFailure("several profiles stored (" + domains +
                   "): pass --profile FILE or --domain ID to choose one");
}

}  // namespace folium::app
