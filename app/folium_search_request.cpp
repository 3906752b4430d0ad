#include "app/folium_search_request.hpp"

#include <boost/json.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <functional>

namespace folium::app {

std::optional<FoliumSearchRequest> FoliumSearchRequest::fromURL(std::string_view text) {
  auto parsed = boost::urls::parse_uri_reference(text);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view url = *parsed;
  if (url.scheme() != "folium" || !url.has_authority() || url.host() != "search") {
    return std::nullopt;
  }
  if (!url.has_query()) return std::nullopt;
  std::optional<std::string> query;
  bool querySeen = false;
  std::optional<std::string> drive;
  bool driveSeen = false;
  // Plain percent-decoding: a "+" in a value is a plus sign, not a space.
  for (const auto& param : url.params(boost::urls::encoding_opts{})) {
    if (param.key == "q" && !querySeen) {
      querySeen = true;
      if (param.has_value) query = param.value;
    } else if (param.key == "drive" && !driveSeen) {
      driveSeen = true;
      if (param.has_value) drive = param.value;
    }
  }
  if (!query || query->empty()) return std::nullopt;
  return FoliumSearchRequest{std::move(*query), std::move(drive)};
}

boost::json::object FoliumSearchRequest::toJson() const {
  boost::json::object object{{"query", query}};
  if (drive) object["drive"] = *drive;
  return object;
}

std::optional<FoliumSearchRequest> FoliumSearchRequest::fromJson(const boost::json::value& value) {
  const auto* object = value.if_object();
  if (!object) return std::nullopt;
  const auto* query = object->if_contains("query");
  if (!query || !query->is_string()) return std::nullopt;
  FoliumSearchRequest request{std::string(query->get_string()), std::nullopt};
  if (const auto* drive = object->if_contains("drive")) {
    if (!drive->is_string()) return std::nullopt;
    request.drive = std::string(drive->get_string());
  }
  return request;
}

}  // namespace folium::app

std::size_t std::hash<folium::app::FoliumSearchRequest>::operator()(
    const folium::app::FoliumSearchRequest& request) const noexcept {
  std::size_t seed = std::hash<std::string>{}(request.query);
  const std::size_t drive =
      request.drive ? std::hash<std::string>{}(*request.drive) ^ 0x9e3779b97f4a7c15ULL : 0;
  return seed ^ (drive + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}
