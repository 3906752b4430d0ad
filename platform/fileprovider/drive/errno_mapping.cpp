#include "platform/fileprovider/drive/errno_mapping.hpp"

#include <cerrno>
#include <string_view>

namespace folium::platform::drive {
namespace {

// Error domains of the plug-in's errors (the plug-in's bridge names them so).
constexpr std::string_view kFoliumErrorDomain = "FoliumCore.FoliumError";
constexpr std::string_view kTransportErrorDomain = "FoliumCore.TransportError";

// The transport's codes (libcurl's) that say what kind of failure it was.
enum TransportCode : std::int64_t {
  kCouldNotResolveProxy = 5,
  kCouldNotResolveHost = 6,
  kCouldNotConnect = 7,
  kTimedOut = 28,
  kAbortedByCallback = 42,
};

bool isUnreachable(std::int64_t code) {
  return code == kCouldNotResolveProxy || code == kCouldNotResolveHost || code == kCouldNotConnect;
}

}  // namespace

int errnoFor(const ErrorPtr& error) noexcept {
  if (!error) return 0;
  const std::string_view domain = error->domain();
  const std::int64_t code = error->code();
  if (domain == NSFileProviderErrorDomain) {
    switch (static_cast<FileProviderErrorCode>(code)) {
      case FileProviderErrorCode::notAuthenticated:
        return EACCES;
      case FileProviderErrorCode::noSuchItem:
        return ENOENT;
      case FileProviderErrorCode::syncAnchorExpired:
        return EIO;
    }
    return EIO;
  }
  if (domain == NSCocoaErrorDomain && code == kFeatureUnsupportedErrorCode) return EPERM;
  if (domain == kFoliumErrorDomain) {
    const auto status = error->userInfo().find("status");
    if (status == error->userInfo().end()) return EIO;
    const auto* value = std::get_if<std::int64_t>(&status->second);
    if (value == nullptr) return EIO;
    if (*value == 404 || *value == 410) return ENOENT;
    if (*value == 401 || *value == 403) return EACCES;
    return EIO;
  }
  if (domain == kTransportErrorDomain) {
    if (isUnreachable(code)) return ENETUNREACH;
    if (code == kTimedOut) return ETIMEDOUT;
    if (code == kAbortedByCallback) return ECANCELED;
    return EIO;
  }
  if (domain == NSPOSIXErrorDomain && code > 0) return static_cast<int>(code);
  return EIO;
}

bool meansOffline(const ErrorPtr& error) noexcept {
  if (!error || error->domain() != kTransportErrorDomain) return false;
  return isUnreachable(error->code()) || error->code() == kTimedOut;
}

}  // namespace folium::platform::drive
