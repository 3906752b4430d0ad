#include "platform/files/file_names.hpp"

namespace folium::platform {

std::string escapeFileName(std::string_view name) {
  if (name.empty()) return "_";
  if (name == "." || name == "..") return "_" + std::string(name);
  std::string escaped;
  escaped.reserve(name.size());
  for (const char c : name) {
    if (c == '/') {
      escaped += "\xE2\x88\x95";  // U+2215
    } else if (c == '\0') {
      escaped += '_';
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace folium::platform
