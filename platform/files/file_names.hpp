#pragma once

#include <string>
#include <string_view>

namespace folium::platform {

// A name made into one file name Linux accepts: "/" becomes "∕" (U+2215), a NUL "_", an
// empty name "_", "." and ".." become "_." and "_..". The length is left to the caller.
std::string escapeFileName(std::string_view name);

}  // namespace folium::platform
