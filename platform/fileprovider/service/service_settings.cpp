#include "platform/fileprovider/service/service_settings.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/fileprovider/service/service_log.hpp"

namespace folium::platform::service {
namespace {

std::chrono::seconds positiveSeconds(const char* variable, std::chrono::seconds fallback) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return fallback;
  const std::string_view value(text);
  long seconds = 0;
  const auto [next, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error != std::errc() || next != value.data() + value.size() || seconds <= 0) {
    serviceLog(std::string(variable) + "=\"" + std::string(value) +
               "\" is not a positive number of seconds; using " + std::to_string(fallback.count()) +
               " s");
    return fallback;
  }
  return std::chrono::seconds(seconds);
}

}  // namespace

std::chrono::seconds pollInterval() {
  return positiveSeconds("FOLIUM_POLL_SECONDS", std::chrono::seconds(30));
}

std::chrono::seconds removalWait() {
  return positiveSeconds("FOLIUM_REMOVAL_SECONDS", std::chrono::seconds(30));
}

std::optional<std::int64_t> cacheLimit() {
  const char* text = std::getenv("FOLIUM_CACHE_LIMIT");
  if (text == nullptr || *text == '\0') return std::nullopt;
  const auto bytes = parseByteSize(text);
  if (!bytes) {
    serviceLog("FOLIUM_CACHE_LIMIT=\"" + std::string(text) +
               "\" is not a size (bytes, or a number followed by K, M, G or T); using the "
               "default bound");
  }
  return bytes;
}

std::optional<std::int64_t> parseByteSize(std::string_view text) {
  double number = 0;
  const auto [next, error] =
      std::from_chars(text.data(), text.data() + text.size(), number, std::chars_format::fixed);
  if (error != std::errc() || !(number >= 0)) return std::nullopt;
  std::string_view unit(next, static_cast<std::size_t>(text.data() + text.size() - next));
  if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b')) unit.remove_suffix(1);
  if (unit.size() == 2 && (unit.back() == 'i')) unit.remove_suffix(1);
  int shift = 0;
  if (unit.size() == 1) {
    switch (unit.front()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      case 't':
      case 'T':
        shift = 40;
        break;
      default:
        return std::nullopt;
    }
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  const double bytes = std::ldexp(number, shift);
  if (bytes >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(bytes);
}

}  // namespace folium::platform::service
