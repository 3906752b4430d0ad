#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folium::platform {

// Which properties of an item a change touches, as a bit set.
using ItemFields = std::uint64_t;
struct ItemField {
  enum : ItemFields {
    contents = 1 << 0,
    filename = 1 << 1,
    parentItemIdentifier = 1 << 2,
    lastUsedDate = 1 << 3,
    tagData = 1 << 4,
    favoriteRank = 1 << 5,
    creationDate = 1 << 6,
    contentModificationDate = 1 << 7,
    fileSystemFlags = 1 << 8,
    extendedAttributes = 1 << 9,
  };
};

// The field called `name` ("contents", "filename", "parentItemIdentifier", ...), if any.
std::optional<ItemFields> itemFieldNamed(std::string_view name);
// The names of the fields in `fields`, lowest bit first; bits without a name are left out.
std::vector<std::string> itemFieldNames(ItemFields fields);

}  // namespace folium::platform
