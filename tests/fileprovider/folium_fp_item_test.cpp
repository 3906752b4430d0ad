#include "fileprovider/folium_fp_item.hpp"

#include <gtest/gtest.h>

#include "platform/desktop/content_types.hpp"

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
  const struct {
    std::shared_ptr<const FoliumFPItem> item;
    std::string type;
  } cases[] = {
      {FoliumFPItem::documentItem(document("Rapport.pdf"), "ws:1", 1), "application/pdf"},
      {FoliumFPItem::documentItem(document("RAPPORT.PDF"), "ws:1", 1), "application/pdf"},
      {FoliumFPItem::documentItem(document("notes.md"), "ws:1", 1), "text/markdown"},
      {FoliumFPItem::documentItem(document("page.html"), "ws:1", 1), "text/html"},
      // Only the extension counts: not the whole name, not a longer suffix.
      {FoliumFPItem::documentItem(document("archive.tar.gz"), "ws:1", 1), "application/gzip"},
      {FoliumFPItem::documentItem(document("README"), "ws:1", 1), "application/octet-stream"},
      {FoliumFPItem::documentItem(document("Makefile"), "ws:1", 1), "application/octet-stream"},
      {FoliumFPItem::documentItem(document("x.zzqqunknown"), "ws:1", 1),
       "application/octet-stream"},
      {FoliumFPItem::documentItem(document(".pdf"), "ws:1", 1), "application/octet-stream"},
      {FoliumFPItem::documentItem(document("fin."), "ws:1", 1), "application/octet-stream"},
      {FoliumFPItem::documentItem(document(""), "ws:1", 1), "application/octet-stream"},
      {FoliumFPItem::folderItem(folder("photo.png"), "ws:1"), "inode/directory"},
      {FoliumFPItem::rootItem("drive.pdf"), "inode/directory"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.item->contentType(), c.type) << c.item->filename();
  }
}

TEST(FoliumFPItem, PathExtensionIsTheTextAfterTheLastDotOfTheLastComponent) {
  const std::pair<std::string, std::string> cases[] = {
      {"a.txt", "txt"},   {"a.b.c", "c"},     {"a", ""},         {".profile", ""},       {"a.", ""},
      {"dir.d/file", ""}, {"dir/f.md", "md"}, {"a.txt/", "txt"}, {"é.résumé", "résumé"}, {"", ""},
  };
  for (const auto& [name, extension] : cases) EXPECT_EQ(pathExtension(name), extension) << name;
}

TEST(FoliumFPItem, ParentIsTheFolderElseTheWorkspaceElseTheRoot) {
  using std::nullopt;
  using Optional = std::optional<std::string>;
  const struct {
    Optional documentsFolderId;
    Optional workspaceId;
    std::string parent;
  } cases[] = {
      {"8", "1", "fo:8"},     {"8", nullopt, "fo:8"},
      {nullopt, "1", "ws:1"}, {"", "1", "fo:"},  // an empty id is still an id
      {nullopt, "", "ws:"},   {nullopt, nullopt, kRoot},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoliumFPItem::parentIdentifier(c.documentsFolderId, c.workspaceId), c.parent);
  }
}

TEST(ContentTypes, LookUpByExtensionAndConformance) {
  EXPECT_EQ(platform::contentTypeForFilenameExtension("pdf"), "application/pdf");
  EXPECT_EQ(platform::contentTypeForFilenameExtension("png"), "image/png");
  EXPECT_EQ(platform::contentTypeForFilenameExtension("json"), "application/json");
  EXPECT_EQ(platform::contentTypeForFilenameExtension(""), "");
  EXPECT_EQ(platform::contentTypeForFilenameExtension("zzqqunknown"), "");
  EXPECT_EQ(platform::contentTypeForFilenameExtension(std::string("pdf\0x", 5)), "");

  EXPECT_TRUE(platform::contentTypeConforms("image/png", platform::kDataContentType));
  EXPECT_TRUE(platform::contentTypeConforms("inode/directory", platform::kFolderContentType));
  EXPECT_FALSE(platform::contentTypeConforms("inode/directory", platform::kDataContentType));
  EXPECT_FALSE(platform::contentTypeConforms("text/plain", platform::kFolderContentType));
}

}  // namespace
}  // namespace folium::fp
