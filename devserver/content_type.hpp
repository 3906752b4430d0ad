#pragma once

#include <string>
#include <string_view>

namespace folium::devserver {

// The content type a document gets from its name when the upload does not say: by the
// lower-cased extension, "application/octet-stream" when unknown.
std::string contentTypeForName(std::string_view name);

// Whether contents of this type (or, for a generic type, this name) are plain text that
// search can read as it is.
bool isTextual(std::string_view contentType, std::string_view name);

}  // namespace folium::devserver
