#include "platform/fileprovider/drive/errno_mapping.hpp"

#include <cerrno>
#include <string>
#include <string_view>
#include <variant>

namespace folium::platform::drive {
namespace {

// Error domains of the plug-in's errors (the plug-in's bridge names them so).
constexpr std::string_view kFoliumErrorDomain = "FoliumCore.FoliumError";
constexpr std::string_view kTransportErrorDomain = "FoliumCore.TransportError";

// What kind of transport failure it was, and what the server said of a failure it answered,
// as the bridge names them.
constexpr std::string_view kTransportKindKey = "kind";
constexpr std::string_view kReasonKey = "reason";

std::string_view textOf(const ErrorObject& error, std::string_view key) {
  const auto found = error.userInfo().find(key);
  if (found == error.userInfo().end()) return {};
  const auto* value = std::get_if<std::string>(&found->second);
  return value == nullptr ? std::string_view{} : std::string_view(*value);
}

std::string_view transportKind(const ErrorObject& error) {
  return textOf(error, kTransportKindKey);
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
    const std::string_view kind = transportKind(*error);
    if (kind == "hostUnreachable") return ENETUNREACH;
    if (kind == "timedOut") return ETIMEDOUT;
    if (kind == "cancelled") return ECANCELED;
    return EIO;
  }
  if (domain == NSPOSIXErrorDomain && code > 0) return static_cast<int>(code);
  return EIO;
}

bool meansOffline(const ErrorPtr& error) noexcept {
  if (!error || error->domain() != kTransportErrorDomain) return false;
  const std::string_view kind = transportKind(*error);
  return kind == "hostUnreachable" || kind == "timedOut";
}

std::string describeFailure(const ErrorPtr& error) {
  if (!error) return "unknown";
  std::string text = error->description();
  if (const auto reason = textOf(*error, kReasonKey); !reason.empty()) {
    text += ": ";
    text += reason;
  }
  return text;
}

}  // namespace folium::platform::drive
