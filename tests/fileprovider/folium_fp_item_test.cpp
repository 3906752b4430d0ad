#include "fileprovider/folium_fp_item.hpp"

#include <gtest/gtest.h>

namespace folium::fp {
namespace {

const std::string kRoot = "NSFileProviderRootContainerItemIdentifier";

FoliumDocument document(std::string name, std::optional<std::string> updatedAt = std::nullopt) {
  FoliumDocument record;
  record.id = "5";
  record.name = std::move(name);
  record.updatedAt = std::move(updatedAt);
  return record;
}

Folder folder(std::string name) {
  Folder record;
  record.id = "3";
  record.name = std::move(name);
  record.updatedAt = "2025-01-02T03:04:05Z";
  return record;
}

TEST(FoliumFPItem, AttributesFollowTheKind) {
  Workspace workspace{"1", "Équipe", std::nullopt, std::nullopt, "2025-05-01T10:00:00Z"};
  const struct {
    std::shared_ptr<const FoliumFPItem> item;
    std::string identifier;
    std::string parent;
    std::string filename;
    platform::ItemCapabilities capabilities;
    std::optional<std::int64_t> documentSize;
    std::string version;
    platform::FileSystemFlags flags;
  } cases[] = {
      {FoliumFPItem::rootItem("Mon drive"), kRoot, kRoot, "Mon drive", 1, std::nullopt, "0", 7},
      {FoliumFPItem::containerItem("NSFileProviderTrashContainerItemIdentifier"),
       "NSFileProviderTrashContainerItemIdentifier", kRoot,
       "NSFileProviderTrashContainerItemIdentifier", 1, std::nullopt, "0", 7},
      {FoliumFPItem::workspaceItem(workspace), "ws:1", kRoot, "Équipe", 3, std::nullopt,
       "2025-05-01T10:00:00Z", 7},
      {FoliumFPItem::folderItem(folder("Notes"), "ws:1"), "fo:3", "ws:1", "Notes", 47, std::nullopt,
       "2025-01-02T03:04:05Z", 7},
      {FoliumFPItem::documentItem(document("a.txt", "t1"), "fo:3", 12), "do:5", "fo:3", "a.txt", 47,
       12, "t1", 6},
      // An unknown size is reported as 1, so an empty file is never assumed.
      {FoliumFPItem::documentItem(document("a.txt"), "ws:1", std::nullopt), "do:5", "ws:1", "a.txt",
       47, 1, "0", 6},
      {FoliumFPItem::documentItem(document("a.txt"), "ws:1", 0), "do:5", "ws:1", "a.txt", 47, 0,
       "0", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier + " " + c.filename);
    EXPECT_EQ(c.item->itemIdentifier(), c.identifier);
    EXPECT_EQ(c.item->parentItemIdentifier(), c.parent);
    EXPECT_EQ(c.item->filename(), c.filename);
    EXPECT_EQ(c.item->capabilities(), c.capabilities);
    EXPECT_EQ(c.item->documentSize(), c.documentSize);
    EXPECT_EQ(c.item->itemVersion(), (platform::ItemVersion{c.version, c.version}));
    EXPECT_EQ(c.item->fileSystemFlags(), c.flags);
  }
}

TEST(FoliumFPItem, ContentTypeComesFromTheExtensionOfDocumentsOnly) {
  auto typeOf = [](const std::string& name) {
    return FoliumFPItem::documentItem(document(name), "ws:1", 1)->contentType();
  };
  // Only the extension counts: not the whole name, not a longer suffix.
  const std::pair<std::string, std::string> typed[] = {
      {"Rapport.pdf", "application/pdf"},     {"RAPPORT.PDF", "application/pdf"},
      {"notes.md", "text/markdown"},          {"page.html", "text/html"},
      {"archive.tar.gz", "application/gzip"},
  };
  for (const auto& [name, type] : typed) EXPECT_EQ(typeOf(name), type) << name;
  for (const std::string& name :
       std::vector<std::string>{"README", "x.zzqqunknown", ".pdf", "fin.", "", {"a.pdf\0x", 7}}) {
    EXPECT_EQ(typeOf(name), "application/octet-stream") << name;
  }
  EXPECT_EQ(FoliumFPItem::folderItem(folder("photo.png"), "ws:1")->contentType(),
            "inode/directory");
  EXPECT_EQ(FoliumFPItem::rootItem("drive.pdf")->contentType(), "inode/directory");
}

}  // namespace
}  // namespace folium::fp
