#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/url/url.hpp>

namespace folium {

class UrlError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A URL reference as written in a profile: anything RFC 3986 accepts, absolute or not (a
// bare host name is a reference without host). Kept exactly as written: no normalisation,
// host case preserved. Equality compares the text.
class Url {
 public:
  // Throws UrlError for the empty string and for text that is no URI reference.
  static Url parse(std::string_view text);
  static std::optional<Url> tryParse(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  // The host as the parser reports it, without brackets; none when the URL has no host or
  // an empty one.
  std::optional<std::string> host() const;
  std::string scheme() const;  // lower-cased; empty when there is none
  // True when requests can be built on it: an http or https scheme and a non-empty host.
  bool isAbsoluteHttp() const;
  const boost::urls::url& components() const { return url_; }

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  Url(std::string text, boost::urls::url url) : text_(std::move(text)), url_(std::move(url)) {}
  std::string text_;
  boost::urls::url url_;
};

}  // namespace folium
