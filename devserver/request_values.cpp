#include "devserver/request_values.hpp"

#include <charconv>

#include "platform/text/utf8.hpp"

namespace folium::devserver {

std::optional<EntityId> parseId(std::string_view text) {
  if (text.empty() || text.size() > 19 || text[0] == '0') return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  EntityId value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t min,
                                         std::int64_t max) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<std::string> nameProblem(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameBytes) {
    return "is longer than " + std::to_string(kMaxNameBytes) + " bytes";
  }
  if (name == "." || name == "..") return "cannot be \".\" or \"..\"";
  if (name.find('/') != std::string_view::npos) return "cannot contain \"/\"";
  if (name.find('\0') != std::string_view::npos) return "cannot contain a NUL character";
  // An upload's file name travels in a header line, where these cannot: a name given any
  // other way (a folder, a rename) must not be one that no upload could carry.
  if (name.find_first_of("\r\n") != std::string_view::npos) {
    return "cannot contain a line break (CR or LF)";
  }
  if (!platform::isValidUtf8(name)) return "is not valid UTF-8";
  return std::nullopt;
}

}  // namespace folium::devserver
