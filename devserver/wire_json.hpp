#pragma once

#include <boost/json/object.hpp>
#include <string_view>

#include "devserver/store.hpp"

namespace folium::devserver {

// The JSON forms the server sends: snake_case keys, identifiers as decimal strings (change
// records: integers), absent parents as null. `baseURL` ends with "/" and prefixes the
// documents' "download_url".
boost::json::object toWire(const WorkspaceRow& row);
boost::json::object toWire(const FolderRow& row);
boost::json::object toWire(const DocumentRow& row, std::string_view baseURL);
boost::json::object toWire(const ChangeRow& row);
boost::json::object toWire(const SearchRow& row);

}  // namespace folium::devserver
