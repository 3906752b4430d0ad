#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

#include "core/url.hpp"

namespace folium {

// Where a client sends its requests and with which token.
struct FoliumConfig {
  Url baseURL;
  std::string token;

  bool operator==(const FoliumConfig&) const = default;
};

// A profile that does not follow the profile file format. The message names the key or
// value at fault: `key "token" is missing`.
class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A connection profile: one server instance the user connected, as held in a
// .foliumprofile file and in the profile store.
struct FoliumProvisioning {
  Url instanceURL;
  std::string token;
  std::string displayName;

  // Reads the bytes of a profile file: a JSON object with exactly the keys "instance_url",
  // "token" and "display_name" (no key conversion), each a string; other keys ignored,
  // nothing normalised. Throws ProfileError.
  static FoliumProvisioning decode(std::string_view bytes);
  static FoliumProvisioning fromJson(const boost::json::value& value);
  boost::json::object toJson() const;  // the profile file format
  std::string encode() const;          // the profile file format, UTF-8 JSON

  // "folium-" followed by the instance's host with every "." replaced by "-" ("instance"
  // when the URL has no host). The key that ties a profile, its store entry and its drive.
  std::string domainIdentifier() const;
  FoliumConfig config() const { return FoliumConfig{instanceURL, token}; }

  bool operator==(const FoliumProvisioning&) const = default;
};

}  // namespace folium
