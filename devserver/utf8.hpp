#pragma once

#include <string>
#include <string_view>

namespace folium::devserver {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD (so it can go into JSON).
std::string sanitizeUtf8(std::string_view text);

// Appends the UTF-8 form of a code point.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace folium::devserver
