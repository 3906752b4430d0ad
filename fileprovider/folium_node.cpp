#include "fileprovider/folium_node.hpp"

namespace folium::fp {

FoliumNode::FoliumNode(std::string_view identifier) {
  if (identifier == platform::NSFileProviderRootContainerItemIdentifier) return;
  const struct {
    std::string_view prefix;
    Kind kind;
  } kPrefixes[] = {{kWorkspacePrefix, Kind::workspace},
                   {kFolderPrefix, Kind::folder},
                   {kDocumentPrefix, Kind::document}};
  for (const auto& [prefix, prefixKind] : kPrefixes) {
    if (identifier.starts_with(prefix)) {
      kind = prefixKind;
      id = std::string(identifier.substr(prefix.size()));
      return;
    }
  }
}

platform::ItemIdentifier FoliumNode::identifier() const {
  switch (kind) {
    case Kind::workspace:
      return std::string(kWorkspacePrefix) + id;
    case Kind::folder:
      return std::string(kFolderPrefix) + id;
    case Kind::document:
      return std::string(kDocumentPrefix) + id;
    case Kind::root:
      break;
  }
  return std::string(platform::NSFileProviderRootContainerItemIdentifier);
}

}  // namespace folium::fp
