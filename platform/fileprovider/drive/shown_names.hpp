#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folium::platform::drive {

// File names are at most this many bytes on Linux.
inline constexpr std::size_t kMaxNameBytes = 255;

// A server name made safe as one file name: "/" becomes "∕" (U+2215), an empty name "_",
// "." and ".." become "_." and "_..", and a name over 255 bytes is cut at a character
// boundary before its extension, which is kept.
std::string escapeName(std::string_view serverName);

// The server name for a file name the user gave: "∕" (U+2215) goes back to "/".
std::string serverNameOf(std::string_view shownName);

// One entry of a folder, as the shown names are decided.
struct NamedSibling {
  std::optional<std::string> identifier;  // none for an item the server does not know yet
  std::string serverName;
};

// The shown name of every sibling, in the order given. Siblings whose escaped names are
// equal are told apart by identifier order: the smallest identifier keeps the name, the
// others get " (2)", " (3)"... before the extension, skipping names another sibling holds.
// The result depends only on the set of siblings, so it is stable across listings and runs.
std::vector<std::string> shownNames(const std::vector<NamedSibling>& siblings);

// Orders server identifiers: decimal ids by value, then everything else bytewise; items
// without an identifier last.
bool identifierLess(const std::optional<std::string>& a, const std::optional<std::string>& b);

}  // namespace folium::platform::drive
