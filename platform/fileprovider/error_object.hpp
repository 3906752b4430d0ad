#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace folium::platform {

// Values of an error's user info: text or a whole number.
using UserInfoValue = std::variant<std::string, std::int64_t>;
using UserInfo = std::map<std::string, UserInfoValue, std::less<>>;

// The error object handed to the service: a domain naming the family of the error, a code
// within it, a user info map and a readable description. Immutable. It derives from
// std::exception so that code which fails with one can throw it and have it reach the
// service unchanged.
class ErrorObject : public std::exception {
 public:
  ErrorObject(std::string domain, std::int64_t code, std::string description,
              UserInfo userInfo = {});

  const std::string& domain() const noexcept { return domain_; }
  std::int64_t code() const noexcept { return code_; }
  const UserInfo& userInfo() const noexcept { return userInfo_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool is(std::string_view domain, std::int64_t code) const noexcept {
    return domain_ == domain && code_ == code;
  }

 private:
  std::string domain_;
  std::int64_t code_;
  std::string description_;
  UserInfo userInfo_;
};

// How errors travel through completion handlers and observers: null means no error. Shared
// and immutable, so one object may be handed out any number of times from any thread.
using ErrorPtr = std::shared_ptr<const ErrorObject>;

// The service's own error domain and the codes of it that Folium raises.
inline constexpr std::string_view NSFileProviderErrorDomain = "NSFileProviderErrorDomain";
enum class FileProviderErrorCode : std::int64_t {
  notAuthenticated = -1000,
  syncAnchorExpired = -1002,
  noSuchItem = -1005,
};

// The general error domain of the desktop's frameworks, and its "feature unsupported" code.
inline constexpr std::string_view NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kFeatureUnsupportedErrorCode = 3328;

// Errors of the operating system, coded by errno.
inline constexpr std::string_view NSPOSIXErrorDomain = "NSPOSIXErrorDomain";

// A file-provider error with an empty user info. `detail`, when given, follows the code's
// standard description after ": ".
ErrorObject fileProviderError(FileProviderErrorCode code, std::string_view detail = {});

}  // namespace folium::platform
