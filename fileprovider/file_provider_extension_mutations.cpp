#include <filesystem>
#include <system_error>
#include <utility>

#include "fileprovider/error_bridge.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "fileprovider/folium_fp_item.hpp"
#include "fileprovider/folium_node.hpp"
#include "fileprovider/local_files.hpp"
#include "platform/desktop/content_types.hpp"

namespace folium::fp {

using platform::ErrorPtr;
using platform::ItemField;
using platform::ItemFields;
using platform::ItemPtr;
using platform::Progress;

namespace {

using ChangeHandler = OnceHandler<ItemPtr, ItemFields, bool, ErrorPtr>;

void fail(ChangeHandler& handler, ErrorPtr error) { handler(nullptr, 0, false, std::move(error)); }

// A move goes into a folder, or to the top of the item's workspace for any other parent.
std::optional<std::string> moveTarget(const platform::ItemIdentifier& parent) {
  const FoliumNode node(parent);
  if (node.kind == FoliumNode::Case::folder) return node.id;
  return std::nullopt;
}

}  // namespace

FileProviderExtension::Location FileProviderExtension::location(
    const FoliumClient& client, const platform::ItemIdentifier& forParent) {
  const FoliumNode node(forParent);
  switch (node.kind) {
    case FoliumNode::Case::workspace:
      return {node.id, std::nullopt};
    case FoliumNode::Case::folder: {
      const Folder folder = client.getFolder(node.id);
      if (folder.workspaceId) return {folder.workspaceId, node.id};
      return {};
    }
    case FoliumNode::Case::document:
    case FoliumNode::Case::root:
      break;
  }
  return {};
}

std::shared_ptr<Progress> FileProviderExtension::createItemBasedOnTemplate(
    ItemPtr itemTemplate, ItemFields, std::optional<std::filesystem::path> contents,
    platform::CreateItemOptions, const platform::Request&, ItemChangeHandler completionHandler) {
  auto progress = Progress::withTotalUnitCount(100);
  ChangeHandler handler(std::move(completionHandler));
  platform::ItemIdentifier parent;
  std::string filename;
  bool isFolder = false;
  try {
    parent = itemTemplate->parentItemIdentifier();
    filename = itemTemplate->filename();
    isFolder =
        itemTemplate->respondsToContentType() &&
        platform::contentTypeConforms(itemTemplate->contentType(), platform::kFolderContentType);
  } catch (...) {
    fail(handler, toErrorObject(std::current_exception()));
    return progress;
  }

  tasks_.start([services = services_, parent = std::move(parent), filename = std::move(filename),
                isFolder, contents = std::move(contents), progress, handler]() mutable {
    try {
      const FoliumClient client = services.makeClient();
      const Location where = location(client, parent);
      if (!where.workspaceID) {
        fail(handler, unsupportedError());
        return;
      }
      ItemPtr item;
      if (isFolder) {
        const Folder folder = client.createFolder(*where.workspaceID, where.folderID, filename);
        item = FoliumFPItem::folderItem(folder, parent);
      } else {
        // No file means an empty document; a file that cannot be read fails the creation
        // rather than put an empty document in place of the user's. The file is read as
        // it is sent.
        const FoliumDocument document =
            contents ? client.createDocument(*where.workspaceID, where.folderID, filename,
                                             ContentsFile{*contents})
                     : client.createDocument(*where.workspaceID, where.folderID, filename,
                                             std::string_view());
        // The size sent; unknown when the file cannot be looked at any more.
        std::optional<std::int64_t> size = 0;
        if (contents) {
          std::error_code unknown;
          const std::uintmax_t bytes = std::filesystem::file_size(*contents, unknown);
          size = unknown ? std::nullopt : std::optional(static_cast<std::int64_t>(bytes));
        }
        item = FoliumFPItem::documentItem(document, parent, size);
      }
      progress->setCompletedUnitCount(100);
      handler(std::move(item), 0, false, nullptr);
    } catch (...) {
      fail(handler, toErrorObject(std::current_exception()));
    }
  });
  return progress;
}

std::shared_ptr<Progress> FileProviderExtension::modifyItem(
    ItemPtr item, const platform::ItemVersion&, ItemFields changedFields,
    std::optional<std::filesystem::path> contents, platform::ModifyItemOptions,
    const platform::Request&, ItemChangeHandler completionHandler) {
  auto progress = Progress::withTotalUnitCount(100);
  ChangeHandler handler(std::move(completionHandler));
  std::optional<FoliumNode> node;
  platform::ItemIdentifier parent;
  std::string filename;
  try {
    node.emplace(item->itemIdentifier());
    parent = item->parentItemIdentifier();
    filename = item->filename();
  } catch (...) {
    fail(handler, toErrorObject(std::current_exception()));
    return progress;
  }

  tasks_.start([services = services_, item = std::move(item), node = std::move(*node),
                parent = std::move(parent), filename = std::move(filename), changedFields,
                contents = std::move(contents), progress, handler]() mutable {
    try {
      const ItemFields handled =
          ItemField::contents | ItemField::filename | ItemField::parentItemIdentifier;
      if ((changedFields & handled) == 0) {
        handler(item, 0, false, nullptr);
        return;
      }
      const FoliumClient client = services.makeClient();
      ItemPtr result = item;
      if (node.kind == FoliumNode::Case::document) {
        // Contents first, and a file that cannot be opened fails the change before anything
        // is sent instead of uploading empty bytes over the document. Without a file the
        // contents are left alone.
        if ((changedFields & ItemField::contents) && contents) {
          client.updateDocumentContent(node.id, filename, ContentsFile{*contents});
        }
        if (changedFields & ItemField::filename) client.renameDocument(node.id, filename);
        if (changedFields & ItemField::parentItemIdentifier) {
          client.moveDocument(node.id, moveTarget(parent));
        }
        const FoliumDocument document = client.getDocument(node.id);
        result = FoliumFPItem::documentItem(
            document,
            FoliumFPItem::parentIdentifier(document.documentsFolderId, document.workspaceId),
            std::nullopt);
      } else if (node.kind == FoliumNode::Case::folder) {
        if (changedFields & ItemField::filename) client.renameFolder(node.id, filename);
        if (changedFields & ItemField::parentItemIdentifier) {
          client.moveFolder(node.id, moveTarget(parent));
        }
        const Folder folder = client.getFolder(node.id);
        result = FoliumFPItem::folderItem(
            folder, FoliumFPItem::parentIdentifier(folder.documentsFolderId, folder.workspaceId));
      }
      // Workspaces and the root cannot change on the server: acknowledged as they are.
      progress->setCompletedUnitCount(100);
      handler(std::move(result), 0, false, nullptr);
    } catch (...) {
      fail(handler, toErrorObject(std::current_exception()));
    }
  });
  return progress;
}

std::shared_ptr<Progress> FileProviderExtension::deleteItemWithIdentifier(
    const platform::ItemIdentifier& identifier, const platform::ItemVersion&,
    platform::DeleteItemOptions, const platform::Request&, DeleteHandler completionHandler) {
  auto progress = Progress::withTotalUnitCount(1);
  OnceHandler<ErrorPtr> handler(std::move(completionHandler));

  tasks_.start([services = services_, identifier, progress, handler]() mutable {
    ErrorPtr error;
    try {
      const FoliumClient client = services.makeClient();
      const FoliumNode node(identifier);
      if (node.kind == FoliumNode::Case::document) {
        client.deleteDocument(node.id);
      } else if (node.kind == FoliumNode::Case::folder) {
        client.deleteFolder(node.id);
      } else {
        error = unsupportedError();
      }
    } catch (...) {
      error = toErrorObject(std::current_exception());
    }
    try {
      handler(std::move(error));
    } catch (...) {
      // The service's handler failed; the progress still tells that the request ended.
    }
    progress->setCompletedUnitCount(1);
  });
  return progress;
}

}  // namespace folium::fp
