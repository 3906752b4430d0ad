#include "core/folium_provisioning.hpp"

#include <boost/json.hpp>

#include "core/json_decoding.hpp"

namespace folium {
namespace {

constexpr std::string_view kInstanceUrlKey = "instance_url";
constexpr std::string_view kTokenKey = "token";
constexpr std::string_view kDisplayNameKey = "display_name";

const char* kindName(boost::json::kind kind) {
  switch (kind) {
    case boost::json::kind::null: return "null";
    case boost::json::kind::bool_: return "a boolean";
    case boost::json::kind::int64:
    case boost::json::kind::uint64:
    case boost::json::kind::double_: return "a number";
    case boost::json::kind::string: return "a string";
    case boost::json::kind::array: return "an array";
    case boost::json::kind::object: return "an object";
  }
  return "a value";
}

// Profile keys match exactly as written: no case folding, no naming-style conversion.
std::string requireString(const boost::json::object& object, std::string_view key) {
  const auto* value = object.if_contains(key);
  if (value == nullptr) throw ProfileError("key \"" + std::string(key) + "\" is missing");
  if (!value->is_string()) {
    throw ProfileError("key \"" + std::string(key) + "\" must be a string, found " +
                       kindName(value->kind()));
  }
  return std::string(value->get_string());
}

}  // namespace

FoliumProvisioning FoliumProvisioning::fromJson(const boost::json::value& value) {
  if (!value.is_object()) {
    throw ProfileError(std::string("expected a JSON object, found ") + kindName(value.kind()));
  }
  const auto& object = value.get_object();
  std::string url = requireString(object, kInstanceUrlKey);
  std::string token = requireString(object, kTokenKey);
  std::string displayName = requireString(object, kDisplayNameKey);
  auto instanceURL = Url::tryParse(url);
  if (!instanceURL) {
    throw ProfileError("key \"instance_url\": \"" + url + "\" is not a URL");
  }
  return FoliumProvisioning{std::move(*instanceURL), std::move(token), std::move(displayName)};
}

FoliumProvisioning FoliumProvisioning::decode(std::string_view bytes) {
  boost::json::error_code ec;
  // Keys other than the three are ignored however deeply they nest.
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::json::value value = boost::json::parse(bytes, ec, {}, options);
  if (ec) throw ProfileError("not valid JSON (" + ec.message() + ")");
  return fromJson(value);
}

boost::json::object FoliumProvisioning::toJson() const {
  boost::json::object object;
  object[kInstanceUrlKey] = instanceURL.absoluteString();
  object[kTokenKey] = token;
  object[kDisplayNameKey] = displayName;
  return object;
}

std::string FoliumProvisioning::encode() const { return boost::json::serialize(toJson()); }

std::string FoliumProvisioning::domainIdentifier() const {
  std::string host = instanceURL.host().value_or("instance");
  for (char& c : host) {
    if (c == '.') c = '-';
  }
  return "folium-" + host;
}

}  // namespace folium
