#pragma once

#include <string>
#include <string_view>

namespace folium::platform {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The text with each maximal ill-formed subsequence replaced by one U+FFFD, so that it can
// go into JSON. ASCII bytes are never part of one, so text around them is kept as it is.
std::string sanitizeUtf8(std::string_view text);

// Appends the UTF-8 form of a code point.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace folium::platform
