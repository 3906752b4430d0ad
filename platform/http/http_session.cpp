#include "platform/http/http_session.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace folium::platform {

namespace {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<std::string_view> findHeader(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [headerName, value] : headers) {
    if (equalsIgnoringAsciiCase(headerName, name)) return std::string_view(value);
  }
  return std::nullopt;
}

// The codes are libcurl's, the only transport there is; a session of another kind maps its
// own failures onto them.
bool TransportError::isCancellation() const noexcept { return code_ == CURLE_ABORTED_BY_CALLBACK; }

bool TransportError::isTimeout() const noexcept { return code_ == CURLE_OPERATION_TIMEDOUT; }

}  // namespace folium::platform
