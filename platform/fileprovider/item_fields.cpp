#include "platform/fileprovider/item_fields.hpp"

#include <array>
#include <utility>

namespace folium::platform {
namespace {

constexpr std::array<std::pair<std::string_view, ItemFields>, 10> kFieldNames = {{
    {"contents", ItemField::contents},
    {"filename", ItemField::filename},
    {"parentItemIdentifier", ItemField::parentItemIdentifier},
    {"lastUsedDate", ItemField::lastUsedDate},
    {"tagData", ItemField::tagData},
    {"favoriteRank", ItemField::favoriteRank},
    {"creationDate", ItemField::creationDate},
    {"contentModificationDate", ItemField::contentModificationDate},
    {"fileSystemFlags", ItemField::fileSystemFlags},
    {"extendedAttributes", ItemField::extendedAttributes},
}};

}  // namespace

std::optional<ItemFields> itemFieldNamed(std::string_view name) {
  for (const auto& [fieldName, field] : kFieldNames) {
    if (fieldName == name) return field;
  }
  return std::nullopt;
}

std::vector<std::string> itemFieldNames(ItemFields fields) {
  std::vector<std::string> names;
  for (const auto& [fieldName, field] : kFieldNames) {
    if (fields & field) names.emplace_back(fieldName);
  }
  return names;
}

}  // namespace folium::platform
