#pragma once

#include <string>
#include <string_view>

#include "platform/files/whole_file.hpp"

namespace folium::app {

// The whole file in memory, for an upload. Throws platform::FileReadError with
// `failurePrefix`, the path and the system's reason ("cannot read /x: Is a directory").
inline std::string readWholeFile(const std::string& path, std::string_view failurePrefix) {
  while (failurePrefix.ends_with(' ')) failurePrefix.remove_suffix(1);
  return platform::readWholeFile(path, {}, failurePrefix);
}

}  // namespace folium::app
