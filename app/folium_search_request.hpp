#pragma once

#include <boost/json/fwd.hpp>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace folium::app {

// What a search link asks for: a text and, optionally, the drive the user works in (the
// name of the drive's folder, as the file manager shows it). It identifies a search window:
// equal requests share one.
struct FoliumSearchRequest {
  std::string query;
  std::optional<std::string> drive;

  // folium://search?q=…&drive=… (scheme and host exactly so, case included). The first "q"
  // must have a non-empty value; the first "drive" is taken when it has a value (an empty
  // one included). Values are percent-decoded; "+" stays "+". None for anything else.
  static std::optional<FoliumSearchRequest> fromURL(std::string_view url);

  // The window's stored form: {"query": …, "drive": …}, "drive" only when present.
  boost::json::object toJson() const;
  // None when "query" is missing or not a string, or "drive" is not a string.
  static std::optional<FoliumSearchRequest> fromJson(const boost::json::value& value);

  bool operator==(const FoliumSearchRequest&) const = default;
};

}  // namespace folium::app

template <>
struct std::hash<folium::app::FoliumSearchRequest> {
  std::size_t operator()(const folium::app::FoliumSearchRequest& request) const noexcept;
};
