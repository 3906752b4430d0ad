#include "platform/http/http_session.hpp"

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

}  // namespace folium::platform
