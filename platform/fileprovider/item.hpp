#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/fileprovider/item_identifier.hpp"

namespace folium::platform {

// What the service may do with an item, as a bit set.
using ItemCapabilities = std::uint64_t;
struct ItemCapability {
  enum : ItemCapabilities {
    allowsReading = 1 << 0,  // read a file, list a folder
    allowsWriting = 1 << 1,  // change a file, add items to a folder
    allowsReparenting = 1 << 2,
    allowsRenaming = 1 << 3,
    allowsTrashing = 1 << 4,
    allowsDeleting = 1 << 5,
  };
};

// Permission bits the service shows on the local copy of an item.
using FileSystemFlags = std::uint64_t;
struct FileSystemFlag {
  enum : FileSystemFlags {
    userExecutable = 1 << 0,
    userReadable = 1 << 1,
    userWritable = 1 << 2,
  };
};

// An item's version as two opaque byte strings: the service compares them with the ones it
// holds to learn that the contents or the metadata changed.
struct ItemVersion {
  std::string contentVersion;
  std::string metadataVersion;

  bool operator==(const ItemVersion&) const = default;
};

// An item as the service sees it: eight read-only properties. Implementations are
// immutable, so items may be shared between threads freely.
class FileProviderItem {
 public:
  FileProviderItem() = default;
  FileProviderItem(const FileProviderItem&) = delete;
  FileProviderItem& operator=(const FileProviderItem&) = delete;
  virtual ~FileProviderItem() = default;

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;
  virtual ItemCapabilities capabilities() const = 0;
  // Bytes of the contents; none for containers, and for files whose size is not known.
  virtual std::optional<std::int64_t> documentSize() const = 0;
  // A content type in the desktop's type system (a MIME type). Meaningful only when
  // respondsToContentType(): an item that the service builds as a template for a new item
  // may leave its type out.
  virtual std::string contentType() const = 0;
  virtual bool respondsToContentType() const { return true; }
  virtual ItemVersion itemVersion() const = 0;
  virtual FileSystemFlags fileSystemFlags() const = 0;
};

using ItemPtr = std::shared_ptr<const FileProviderItem>;

// The item the service hands the plug-in for a creation (a template) or a modification: the
// given identifier, parent and name, and a content type when one is known; nothing else.
class TemplateItem final : public FileProviderItem {
 public:
  TemplateItem(ItemIdentifier identifier, ItemIdentifier parent, std::string filename,
               std::optional<std::string> contentType = std::nullopt)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        contentType_(std::move(contentType)) {}

  ItemIdentifier itemIdentifier() const override { return identifier_; }
  ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  ItemCapabilities capabilities() const override { return 0; }
  std::optional<std::int64_t> documentSize() const override { return std::nullopt; }
  std::string contentType() const override { return contentType_.value_or(""); }
  bool respondsToContentType() const override { return contentType_.has_value(); }
  ItemVersion itemVersion() const override { return {}; }
  FileSystemFlags fileSystemFlags() const override { return 0; }

 private:
  ItemIdentifier identifier_;
  ItemIdentifier parent_;
  std::string filename_;
  std::optional<std::string> contentType_;
};

}  // namespace folium::platform
