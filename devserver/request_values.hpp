#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devserver/store.hpp"

namespace folium::devserver {

// An identifier as the server writes it: a positive decimal without sign or leading zero.
// Any other text names nothing.
std::optional<EntityId> parseId(std::string_view text);

// A decimal integer in [min, max] ("-" allowed, "+" not); none for anything else (blank, "12.5",
// "1e3", overflow).
std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t min, std::int64_t max);

// Longest name or label, in bytes: what one file name may hold on Linux file systems, since
// every name becomes a file name in the drive.
inline constexpr std::size_t kMaxNameBytes = 255;

// Why `name` cannot name a folder, document or workspace, or none when it can: it must be
// non-empty UTF-8 of at most kMaxNameBytes, without "/" or NUL, and neither "." nor "..".
std::optional<std::string> nameProblem(std::string_view name);

}  // namespace folium::devserver
