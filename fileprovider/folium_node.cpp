#include "fileprovider/folium_node.hpp"

namespace folium::fp {

FoliumNode::FoliumNode(std::string_view identifier) {
  if (identifier == platform::NSFileProviderRootContainerItemIdentifier) return;
  const struct {
    std::string_view prefix;
    Case kind;
  } kPrefixes[] = {{kWorkspacePrefix, Case::workspace},
                   {kFolderPrefix, Case::folder},
                   {kDocumentPrefix, Case::document}};
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
    case Case::workspace:
      return std::string(kWorkspacePrefix) + id;
    case Case::folder:
      return std::string(kFolderPrefix) + id;
    case Case::document:
      return std::string(kDocumentPrefix) + id;
    case Case::root:
      break;
  }
  return std::string(platform::NSFileProviderRootContainerItemIdentifier);
}

}  // namespace folium::fp
