#pragma once

#include <exception>
#include <string_view>

#include "platform/fileprovider/error_object.hpp"

namespace folium::fp {

// Error domains of the errors the plug-in hands on. A later host maps them to errno.
inline constexpr std::string_view kFoliumErrorDomain = "FoliumCore.FoliumError";
inline constexpr std::string_view kTransportErrorDomain = "FoliumCore.TransportError";
inline constexpr std::string_view kDecodingErrorDomain = "FoliumCore.DecodingError";
inline constexpr std::string_view kInvalidAddressErrorDomain = "FoliumCore.InvalidAddressError";
inline constexpr std::string_view kUnexpectedErrorDomain = "FoliumFileProvider.UnexpectedError";

// The user info key holding the HTTP status of a FoliumError.
inline constexpr std::string_view kStatusUserInfoKey = "status";

// The user info key holding the server's own words for a FoliumError, when it gave any.
inline constexpr std::string_view kReasonUserInfoKey = "reason";

// The user info key holding what kind of transport failure it was: "cancelled",
// "timedOut", "hostUnreachable" or "other" (the host maps these, not the transport's codes).
inline constexpr std::string_view kTransportKindUserInfoKey = "kind";

// The one place where a failure becomes the error object the service receives:
//  - an ErrorObject (the plug-in's own: -1000, -1002, -1005, 3328): unchanged;
//  - FoliumError: its domain, code 0 http / 1 invalid response / 2 missing download URL,
//    the status under "status" for http, and what the server said under "reason" when
//    it said something;
//  - platform::TransportError: its domain with the transport's code (a CURLcode, for
//    reports), its kind under "kind";
//  - DecodingError: its domain, code 0;
//  - InvalidAddressError (the profile's address cannot carry a request): its domain, code 0;
//  - std::system_error of the generic or system category (file operations): the POSIX
//    domain with the errno;
//  - anything else, a non-standard exception included: the unexpected-error domain, code 0.
// Each with a description naming what failed. Never throws, never returns null.
platform::ErrorPtr toErrorObject(std::exception_ptr failure) noexcept;

}  // namespace folium::fp
