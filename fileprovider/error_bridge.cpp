#include "fileprovider/error_bridge.hpp"

#include <new>
#include <string>
#include <system_error>

#include "core/folium_error.hpp"
#include "core/json_decoding.hpp"
#include "platform/http/http_session.hpp"

namespace folium::fp {
namespace {

using platform::ErrorObject;

platform::ErrorPtr make(std::string_view domain, std::int64_t code, std::string description,
                        platform::UserInfo userInfo = {}) {
  return std::make_shared<const ErrorObject>(std::string(domain), code, std::move(description),
                                             std::move(userInfo));
}

std::string_view kindName(platform::TransportError::Kind kind) {
  using Kind = platform::TransportError::Kind;
  switch (kind) {
    case Kind::cancelled:
      return "cancelled";
    case Kind::timedOut:
      return "timedOut";
    case Kind::hostUnreachable:
      return "hostUnreachable";
    case Kind::other:
      break;
  }
  return "other";
}

platform::ErrorPtr bridge(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const ErrorObject& error) {
    return std::make_shared<const ErrorObject>(error);
  } catch (const FoliumError& error) {
    platform::UserInfo userInfo;
    if (error.kind() == FoliumError::Kind::http) {
      userInfo.emplace(std::string(kStatusUserInfoKey), std::int64_t{error.status()});
      if (!error.reason().empty()) {
        userInfo.emplace(std::string(kReasonUserInfoKey), error.reason());
      }
    }
    return make(kFoliumErrorDomain, error.code(), error.what(), std::move(userInfo));
  } catch (const platform::TransportError& error) {
    platform::UserInfo userInfo;
    userInfo.emplace(std::string(kTransportKindUserInfoKey), std::string(kindName(error.kind())));
    return make(kTransportErrorDomain, error.code(),
                std::string("transport error: ") + error.what(), std::move(userInfo));
  } catch (const DecodingError& error) {
    return make(kDecodingErrorDomain, 0, std::string("cannot decode response: ") + error.what());
  } catch (const InvalidAddressError& error) {
    return make(kInvalidAddressErrorDomain, 0, error.what());
  } catch (const std::system_error& error) {
    const std::error_category& category = error.code().category();
    if (category == std::generic_category() || category == std::system_category()) {
      return make(platform::NSPOSIXErrorDomain, error.code().value(), error.what());
    }
    return make(kUnexpectedErrorDomain, 0, std::string("unexpected failure: ") + error.what());
  } catch (const std::exception& error) {
    return make(kUnexpectedErrorDomain, 0, std::string("unexpected failure: ") + error.what());
  } catch (...) {
    return make(kUnexpectedErrorDomain, 0, "unexpected failure");
  }
}

}  // namespace

platform::ErrorPtr toErrorObject(std::exception_ptr failure) noexcept {
  // Made up front: when memory runs out while describing a failure, this one is handed on.
  static const platform::ErrorPtr kOutOfMemory =
      make(kUnexpectedErrorDomain, 0, "unexpected failure: out of memory");
  try {
    if (!failure) return make(kUnexpectedErrorDomain, 0, "unexpected failure");
    return bridge(failure);
  } catch (...) {
    return kOutOfMemory;
  }
}

}  // namespace folium::fp
