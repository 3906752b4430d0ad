#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace folium::devserver {

// Turns a user's free text into an FTS5 match expression that cannot be read as query
// syntax: every whitespace-separated word becomes a quoted phrase (its double quotes doubled)
// matched as a prefix, and all words are required. "rapp annuel" gives `"rapp"* "annuel"*`.
// Nothing when the text holds no word.
std::optional<std::string> ftsMatchExpression(std::string_view text);

}  // namespace folium::devserver
