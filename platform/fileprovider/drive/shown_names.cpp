#include "platform/fileprovider/drive/shown_names.hpp"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>

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
  const bool aNumber = isDecimal(*a);
  const bool bNumber = isDecimal(*b);
  if (aNumber != bNumber) return aNumber;
  if (aNumber) {
    const std::string_view x =
        std::string_view(*a).substr(std::min(a->find_first_not_of('0'), a->size()));
    const std::string_view y =
        std::string_view(*b).substr(std::min(b->find_first_not_of('0'), b->size()));
    if (x.size() != y.size()) return x.size() < y.size();
    if (x != y) return x < y;
  }
  return *a < *b;
}

std::vector<std::string> shownNames(const std::vector<NamedSibling>& siblings) {
  std::vector<std::string> escaped;
  escaped.reserve(siblings.size());
  for (const auto& sibling : siblings) escaped.push_back(escapeName(sibling.serverName));

  // Siblings by escaped name, each group in identifier order.
  std::map<std::string, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < siblings.size(); ++i) groups[escaped[i]].push_back(i);

  std::vector<std::string> shown(siblings.size());
  std::set<std::string> taken;
  for (auto& [name, members] : groups) taken.insert(name);
  for (auto& [name, members] : groups) {
    std::stable_sort(members.begin(), members.end(), [&](std::size_t x, std::size_t y) {
      return identifierLess(siblings[x].identifier, siblings[y].identifier);
    });
    shown[members.front()] = name;
    const auto [stem, extension] = splitExtension(name);
    int number = 2;
    for (std::size_t k = 1; k < members.size(); ++k) {
      std::string candidate;
      do {
        candidate = joinWithin(stem, " (" + std::to_string(number++) + ")", extension);
      } while (taken.contains(candidate));
      taken.insert(candidate);
      shown[members[k]] = std::move(candidate);
    }
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
