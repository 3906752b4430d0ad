#include "platform/fileprovider/error_object.hpp"

#include <utility>

namespace folium::platform {

ErrorObject::ErrorObject(std::string domain, std::int64_t code, std::string description,
                         UserInfo userInfo)
    : domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)),
      userInfo_(std::move(userInfo)) {}

ErrorObject fileProviderError(FileProviderErrorCode code, std::string_view detail) {
  std::string description;
  switch (code) {
    case FileProviderErrorCode::notAuthenticated:
      description = "not authenticated";
      break;
    case FileProviderErrorCode::syncAnchorExpired:
      description = "the sync anchor expired";
      break;
    case FileProviderErrorCode::noSuchItem:
      description = "no such item";
      break;
  }
  if (!detail.empty()) {
    description += ": ";
    description += detail;
  }
  return ErrorObject(std::string(NSFileProviderErrorDomain), static_cast<std::int64_t>(code),
                     std::move(description));
}

}  // namespace folium::platform
