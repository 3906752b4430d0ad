#pragma once

#include <string>

namespace folium::platform {

// One drive registered with the file-provider service: the identifier it was registered
// under and the name shown for it.
struct FileProviderDomain {
  std::string identifier;
  std::string displayName;

  bool operator==(const FileProviderDomain&) const = default;
};

}  // namespace folium::platform
