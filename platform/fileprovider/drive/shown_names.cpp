#include "platform/fileprovider/drive/shown_names.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <unordered_set>

#include "platform/files/file_names.hpp"

namespace folium::platform::drive {
namespace {

// The last byte offset <= `limit` that starts a UTF-8 character of `text`.
std::size_t characterBoundary(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return limit;
}

// Splits "name.ext" into "name" and ".ext". A leading dot is not an extension (".profile"),
// and an extension too long to keep along with one character of stem is not one either.
std::pair<std::string_view, std::string_view> splitExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {name, {}};
  const std::string_view extension = name.substr(dot);
  if (extension.size() > kMaxNameBytes / 2) return {name, {}};
  return {name.substr(0, dot), extension};
}

// `stem` + `suffix` + `extension`, the stem cut so that the whole fits in 255 bytes.
std::string joinWithin(std::string_view stem, std::string_view suffix, std::string_view extension) {
  const std::size_t room = kMaxNameBytes - suffix.size() - extension.size();
  std::string name(stem.substr(0, characterBoundary(stem, room)));
  name += suffix;
  name += extension;
  return name;
}

bool isDecimal(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string escapeName(std::string_view serverName) {
  std::string name = escapeFileName(serverName);
  if (name.size() <= kMaxNameBytes) return name;
  const auto [stem, extension] = splitExtension(name);
  return joinWithin(stem, {}, extension);
}

bool identifierLess(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return a.has_value() && !b.has_value();
  // The server's own identifier: "12" in "do:12", so that "do:9" comes before "do:12".
  const auto serverPart = [](std::string_view identifier) {
    const auto colon = identifier.find(':');
    return colon == std::string_view::npos ? identifier : identifier.substr(colon + 1);
  };
  std::string_view x = serverPart(*a);
  std::string_view y = serverPart(*b);
  const bool aNumber = isDecimal(x);
  const bool bNumber = isDecimal(y);
  if (aNumber != bNumber) return aNumber;
  if (aNumber) {
    x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
    y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
    if (x.size() != y.size()) return x.size() < y.size();
  }
  if (x != y) return x < y;
  return *a < *b;
}

std::vector<std::string> shownNames(const std::vector<NamedSibling>& siblings) {
  const std::size_t count = siblings.size();
  std::vector<std::string> shown;
  shown.reserve(count);
  for (const auto& sibling : siblings) shown.push_back(escapeName(sibling.serverName));

  // Siblings in name order, those sharing a name side by side in the order given. Most
  // folders have none that share one, and then every sibling keeps its escaped name.
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return shown[x] < shown[y]; });
  const auto sameName = [&](std::size_t k) { return shown[order[k]] == shown[order[k - 1]]; };
  bool shared = false;
  for (std::size_t k = 1; k < count && !shared; ++k) shared = sameName(k);
  if (!shared) return shown;

  // Each group in identifier order, groups in name order; numbered names skip every name
  // held, escaped or numbered before.
  std::unordered_set<std::string> taken(shown.begin(), shown.end());
  for (std::size_t start = 0; start < count;) {
    std::size_t end = start + 1;
    while (end < count && sameName(end)) ++end;
    if (end - start > 1) {
      std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(start),
                       order.begin() + static_cast<std::ptrdiff_t>(end),
                       [&](std::size_t x, std::size_t y) {
                         return identifierLess(siblings[x].identifier, siblings[y].identifier);
                       });
      const std::string name = shown[order[start]];
      const auto [stem, extension] = splitExtension(name);
      int number = 2;
      for (std::size_t k = start + 1; k < end; ++k) {
        std::string candidate;
        do {
          candidate = joinWithin(stem, " (" + std::to_string(number++) + ")", extension);
        } while (taken.contains(candidate));
        taken.insert(candidate);
        shown[order[k]] = std::move(candidate);
      }
    }
    start = end;
  }
  return shown;
}

std::string serverNameOf(std::string_view shownName) {
  static constexpr std::string_view kSlash = "\xE2\x88\x95";
  std::string name;
  for (std::size_t at = 0; at < shownName.size();) {
    if (shownName.substr(at, kSlash.size()) == kSlash) {
      name += '/';
      at += kSlash.size();
    } else {
      name += shownName[at++];
    }
  }
  return name;
}

}  // namespace folium::platform::drive
