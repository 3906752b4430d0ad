#pragma once

#include <string>
#include <string_view>

namespace folium::app {

// The whole file in memory, for an upload or a profile. Throws CliFailure with
// `failurePrefix`, the path and the system's reason ("cannot read /x: Is a directory").
std::string readWholeFile(const std::string& path, std::string_view failurePrefix);

}  // namespace folium::app
