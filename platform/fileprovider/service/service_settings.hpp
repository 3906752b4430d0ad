#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace folium::platform::service {

// Settings of the drive service read from its environment. A value that does not parse is
// reported on stderr, naming the variable and what it should hold, and the default is used.
//
// FOLIUM_POLL_SECONDS: how often a drive looks at the server's changes (30).
std::chrono::seconds pollInterval();
// FOLIUM_CACHE_LIMIT: the bytes of cached contents a drive keeps at most, as a number with
// an optional K, M, G or T (powers of 1024); none: the drive's own bound.
std::optional<std::int64_t> cacheLimit();
// FOLIUM_REMOVAL_SECONDS: how long removing a drive tries to send its waiting edits before
// it keeps them aside (30).
std::chrono::seconds removalWait();

// "512", "20M", "10G", "1.5G": bytes; none when it is not a size.
std::optional<std::int64_t> parseByteSize(std::string_view text);

}  // namespace folium::platform::service
