#include "fileprovider/folium_fp_item.hpp"

#include <utility>

#include "core/folium_client.hpp"
#include "fileprovider/folium_node.hpp"
#include "platform/desktop/content_types.hpp"
#include "platform/fileprovider/item_identifier.hpp"

namespace folium::fp {

using platform::FileSystemFlag;
using platform::ItemCapability;

FoliumFPItem::FoliumFPItem(platform::ItemIdentifier itemIdentifier,
                           platform::ItemIdentifier parentItemIdentifier, std::string filename,
                           Kind kind, std::optional<std::string> updatedAt,
                           std::optional<std::int64_t> size)
    : itemIdentifier_(std::move(itemIdentifier)),
      parentItemIdentifier_(std::move(parentItemIdentifier)),
      filename_(std::move(filename)),
      kind_(kind),
      updatedAt_(std::move(updatedAt)),
      size_(size) {}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::rootItem(std::string displayName) {
  const std::string root(platform::NSFileProviderRootContainerItemIdentifier);
  return std::make_shared<const FoliumFPItem>(root, root, std::move(displayName), Kind::root,
                                              std::nullopt, std::nullopt);
}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::containerItem(
    platform::ItemIdentifier identifier) {
  std::string filename = identifier;
  return std::make_shared<const FoliumFPItem>(
      std::move(identifier), std::string(platform::NSFileProviderRootContainerItemIdentifier),
      std::move(filename), Kind::root, std::nullopt, std::nullopt);
}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::workspaceItem(const Workspace& workspace) {
  return std::make_shared<const FoliumFPItem>(
      FoliumNode::workspace(workspace.id).identifier(),
      std::string(platform::NSFileProviderRootContainerItemIdentifier), workspace.label,
      Kind::workspace, workspace.updatedAt, std::nullopt);
}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::folderItem(const Folder& folder,
                                                             platform::ItemIdentifier parent) {
  return std::make_shared<const FoliumFPItem>(FoliumNode::folder(folder.id).identifier(),
                                              std::move(parent), folder.name, Kind::folder,
                                              folder.updatedAt, std::nullopt);
}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::documentItem(const FoliumDocument& document,
                                                               platform::ItemIdentifier parent,
                                                               std::optional<std::int64_t> size) {
  return std::make_shared<const FoliumFPItem>(FoliumNode::document(document.id).identifier(),
                                              std::move(parent), document.name, Kind::document,
                                              document.updatedAt, size);
}

std::shared_ptr<const FoliumFPItem> FoliumFPItem::readFromServer(const FoliumClient& client,
                                                                 const FoliumNode& node) {
  switch (node.kind) {
    case Kind::workspace:
      return workspaceItem(client.getWorkspace(node.id));
    case Kind::folder: {
      const Folder folder = client.getFolder(node.id);
      return folderItem(folder, parentIdentifier(folder.documentsFolderId, folder.workspaceId));
    }
    case Kind::document: {
      const FoliumDocument document = client.getDocument(node.id);
      return documentItem(document,
                          parentIdentifier(document.documentsFolderId, document.workspaceId),
                          document.size);
    }
    case Kind::root:
      break;
  }
  return nullptr;
}

platform::ItemIdentifier FoliumFPItem::parentIdentifier(
    const std::optional<std::string>& documentsFolderId,
    const std::optional<std::string>& workspaceId) {
  if (documentsFolderId) return FoliumNode::folder(*documentsFolderId).identifier();
  if (workspaceId) return FoliumNode::workspace(*workspaceId).identifier();
  return std::string(platform::NSFileProviderRootContainerItemIdentifier);
}

platform::ItemCapabilities FoliumFPItem::capabilities() const {
  switch (kind_) {
    case Kind::root:
      return ItemCapability::allowsReading;
    case Kind::workspace:
      return ItemCapability::allowsReading | ItemCapability::allowsWriting;
    case Kind::folder:
    case Kind::document:
      break;
  }
  return ItemCapability::allowsReading | ItemCapability::allowsWriting |
         ItemCapability::allowsReparenting | ItemCapability::allowsRenaming |
         ItemCapability::allowsDeleting;
}

std::optional<std::int64_t> FoliumFPItem::documentSize() const {
  if (kind_ != Kind::document) return std::nullopt;
  return size_.value_or(1);
}

std::string FoliumFPItem::contentType() const {
  if (kind_ != Kind::document) return std::string(platform::kFolderContentType);
  std::string type = platform::contentTypeForFilenameExtension(pathExtension(filename_));
  if (type.empty()) return std::string(platform::kDataContentType);
  return type;
}

platform::ItemVersion FoliumFPItem::itemVersion() const {
  const std::string version = updatedAt_.value_or("0");
  return {version, version};
}

platform::FileSystemFlags FoliumFPItem::fileSystemFlags() const {
  const platform::FileSystemFlags readWrite =
      FileSystemFlag::userReadable | FileSystemFlag::userWritable;
  if (kind_ == Kind::document) return readWrite;
  return readWrite | FileSystemFlag::userExecutable;
}

std::string pathExtension(std::string_view filename) {
  // Trailing slashes do not end a component in path rules: "a.txt/" is "a.txt".
  while (filename.size() > 1 && filename.back() == '/') filename.remove_suffix(1);
  const auto slash = filename.rfind('/');
  const std::string_view component =
      slash == std::string_view::npos ? filename : filename.substr(slash + 1);
  const auto dot = component.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return std::string(component.substr(dot + 1));
}

}  // namespace folium::fp
