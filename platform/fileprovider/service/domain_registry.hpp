#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "platform/fileprovider/domain.hpp"

namespace folium::platform::service {

// The list of registered domains, in registration order, kept in one JSON file:
// [{"identifier":…,"displayName":…}, …]. Every read and write holds a lock on a file beside
// it, and a write replaces the file atomically, so a reader never sees half a list and two
// writers never lose each other's change.
//
// Threading: any thread or process may use it at once.
class DomainRegistry {
 public:
  explicit DomainRegistry(std::filesystem::path file);

  // The registered domains; none when the file does not exist yet. Throws std::runtime_error
  // naming the file when it cannot be read or does not hold a list of domains.
  [[nodiscard]] std::vector<FileProviderDomain> load() const;
  // Reads the list, lets `change` edit it and writes it back, all under the lock; returns
  // the list as written. A file that cannot be read is never overwritten: the error is thrown.
  std::vector<FileProviderDomain> update(
      const std::function<void(std::vector<FileProviderDomain>&)>& change);

  const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace folium::platform::service
