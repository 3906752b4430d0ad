#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/records.hpp"
#include "fileprovider/folium_node.hpp"
#include "platform/fileprovider/item.hpp"

namespace folium {
class FoliumClient;
}

namespace folium::fp {

// An entry of the drive as the file manager shows it: the root, a workspace, a folder or a
// document. Immutable; built by the factories below from the server's records.
class FoliumFPItem final : public platform::FileProviderItem {
 public:
  using Kind = fp::Kind;

  FoliumFPItem(platform::ItemIdentifier itemIdentifier,
               platform::ItemIdentifier parentItemIdentifier, std::string filename, Kind kind,
               std::optional<std::string> updatedAt, std::optional<std::int64_t> size);

  // The root of the drive, named after the drive.
  static std::shared_ptr<const FoliumFPItem> rootItem(std::string displayName);
  // The working-set or trash container: named by its own identifier, under the root.
  static std::shared_ptr<const FoliumFPItem> containerItem(platform::ItemIdentifier identifier);
  static std::shared_ptr<const FoliumFPItem> workspaceItem(const Workspace& workspace);
  static std::shared_ptr<const FoliumFPItem> folderItem(const Folder& folder,
                                                        platform::ItemIdentifier parent);
  static std::shared_ptr<const FoliumFPItem> documentItem(const FoliumDocument& document,
                                                          platform::ItemIdentifier parent,
                                                          std::optional<std::int64_t> size);

  // The item of a workspace, folder or document as the server has it now: its record read
  // again and placed by parentIdentifier (a document with the size the server tells, if
  // any). Null for the root, which has no record. Throws the client's errors.
  static std::shared_ptr<const FoliumFPItem> readFromServer(const FoliumClient& client,
                                                            const FoliumNode& node);

  // Where a folder or document record lies: in its folder when it names one (even an empty
  // id), else at the top of its workspace, else at the root.
  static platform::ItemIdentifier parentIdentifier(
      const std::optional<std::string>& documentsFolderId,
      const std::optional<std::string>& workspaceId);

  Kind kind() const { return kind_; }
  const std::optional<std::string>& updatedAt() const { return updatedAt_; }
  const std::optional<std::int64_t>& size() const { return size_; }

  platform::ItemIdentifier itemIdentifier() const override { return itemIdentifier_; }
  platform::ItemIdentifier parentItemIdentifier() const override { return parentItemIdentifier_; }
  std::string filename() const override { return filename_; }
  // Reading for the root; reading and adding for workspaces, which are never renamed, moved
  // or deleted from the drive; everything but trashing for folders and documents, since a
  // deletion on the drive removes the item on the server.
  platform::ItemCapabilities capabilities() const override;
  // Documents: the known size, or 1 when it is not known (the file manager takes 0 for an
  // empty file it need not download). Other kinds: none.
  std::optional<std::int64_t> documentSize() const override;
  // Non-documents: the folder type. Documents: the type of the file name's extension, or
  // the generic data type.
  std::string contentType() const override;
  // Both versions are the server's update time stamp ("0" when it has none), so any change
  // on the server counts as a change of contents and of metadata.
  platform::ItemVersion itemVersion() const override;
  platform::FileSystemFlags fileSystemFlags() const override;

 private:
  platform::ItemIdentifier itemIdentifier_;
  platform::ItemIdentifier parentItemIdentifier_;
  std::string filename_;
  Kind kind_;
  std::optional<std::string> updatedAt_;
  std::optional<std::int64_t> size_;
};

// The text after the last "." of the last component of `filename` ("" when there is none,
// and for a name that only starts with a dot, like ".profile").
std::string pathExtension(std::string_view filename);

}  // namespace folium::fp
