#include "core/url.hpp"

#include <boost/url/parse.hpp>

namespace folium {

std::optional<Url> Url::tryParse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  auto parsed = boost::urls::parse_uri_reference(text);
  if (!parsed) return std::nullopt;
  return Url(std::string(text), boost::urls::url(*parsed));
}

Url Url::parse(std::string_view text) {
  if (text.empty()) throw UrlError("the empty string is not a URL");
  auto parsed = boost::urls::parse_uri_reference(text);
  if (!parsed) {
    throw UrlError("\"" + std::string(text) + "\" is not a URL (" + parsed.error().message() + ")");
  }
  return Url(std::string(text), boost::urls::url(*parsed));
}

std::optional<std::string> Url::host() const {
  if (!url_.has_authority()) return std::nullopt;
  std::string host = url_.host_address();
  if (host.empty()) return std::nullopt;
  return host;
}

std::string Url::scheme() const {
  std::string scheme(url_.scheme());
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return scheme;
}

bool Url::isAbsoluteHttp() const {
  const std::string s = scheme();
  return (s == "http" || s == "https") && host().has_value();
}

}  // namespace folium
