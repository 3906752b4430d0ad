// The replica's listings: what a second listing of a folder changes, what the kernel is told,
// that the database holds the same tree as memory once it is opened again, and listings
// stored part by part as they arrive.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fileprovider/folium_fp_item.hpp"
#include "platform/fileprovider/drive/replica.hpp"
#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using fp::FoliumFPItem;

struct Entry {
  std::uint64_t id;
  std::string identifier;
  std::int64_t size;
  bool operator==(const Entry&) const = default;
};

// The folder's children by shown name.
std::map<std::string, Entry> childrenOf(const Replica& replica, std::uint64_t folder) {
  std::map<std::string, Entry> out;
  for (const auto& item : replica.children(folder)) {
    out[item.shownName] = {item.id, item.identifier.value_or(""), item.size};
  }
  return out;
}

ItemPtr document(const std::string& id, const std::string& name, const std::string& version,
                 std::optional<std::int64_t> size = std::nullopt) {
  FoliumDocument record;
  record.id = id;
  record.name = name;
  record.updatedAt = version;
  return FoliumFPItem::documentItem(record, "ws:1", size);
}

ItemPtr workspace(const std::string& id, const std::string& label) {
  return FoliumFPItem::workspaceItem(Workspace{id, label, {}, {}, {}});
}

TEST(ReplicaListing, ListingAgainChangesOnlyWhatChangedAndIsStoredAsShown) {
  testing::TempDir dir;
  std::uint64_t folder = 0;
  std::map<std::string, Entry> shown;
  {
    Replica replica(dir / "state", "Drive");
    replica.applyListing(Replica::kRootId, {workspace("1", "Espace")});
    folder = replica.itemWithIdentifier("ws:1")->id;
    replica.applyListing(folder, {document("10", "a.txt", "v1", 5), document("11", "b.txt", "v1"),
                                  document("12", "dup.txt", "v1"), document("13", "dup.txt", "v1"),
                                  document("14", "gone.txt", "v1")});
    const auto first = childrenOf(replica, folder);
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(first.at("dup.txt").identifier, "do:12");
    EXPECT_EQ(first.at("dup (2).txt").identifier, "do:13");
    EXPECT_EQ(first.at("a.txt").size, 5);
    EXPECT_EQ(first.at("b.txt").size, 1);  // no size from the server: the provisional one

    // b renamed, a newcomer with a smaller identifier taking "dup.txt", gone.txt removed.
    const auto id = [&](const std::string& name) { return first.at(name).id; };
    const Invalidations told = replica.applyListing(
        folder, {document("10", "a.txt", "v1", 5), document("11", "c.txt", "v2"),
                 document("12", "dup.txt", "v1"), document("13", "dup.txt", "v1"),
                 document("9", "dup.txt", "v1")});
    shown = childrenOf(replica, folder);
    EXPECT_EQ(shown.at("dup.txt").identifier, "do:9");
    EXPECT_EQ(shown.at("dup (2).txt").id, id("dup.txt"));
    EXPECT_EQ(shown.at("dup (3).txt").id, id("dup (2).txt"));
    EXPECT_EQ(shown.at("c.txt").id, id("b.txt"));
    EXPECT_FALSE(shown.contains("gone.txt"));

    // The kernel hears of the changed and removed items and of every name that went away,
    // not of the unchanged one nor of the newcomer it cannot know.
    auto inodes = told.inodes;
    std::sort(inodes.begin(), inodes.end());
    EXPECT_EQ(inodes, (std::vector<std::uint64_t>{id("b.txt"), id("gone.txt")}));
    auto names = told.entries;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::pair<std::uint64_t, std::string>>{{folder, "b.txt"},
                                                                         {folder, "dup (2).txt"},
                                                                         {folder, "dup.txt"},
                                                                         {folder, "gone.txt"}}));

    // Moved to another workspace: the name it leaves is forgotten too.
    replica.applyListing(Replica::kRootId, {workspace("1", "Espace"), workspace("2", "Autre")});
    const std::uint64_t otherFolder = replica.itemWithIdentifier("ws:2")->id;
    const Invalidations moved = replica.applyListing(otherFolder, {document("10", "a.txt", "v1")});
    EXPECT_NE(std::find(moved.entries.begin(), moved.entries.end(),
                        std::pair<std::uint64_t, std::string>{folder, "a.txt"}),
              moved.entries.end());
    EXPECT_EQ(childrenOf(replica, otherFolder).at("a.txt").id, id("a.txt"));
    shown = childrenOf(replica, folder);
    EXPECT_FALSE(shown.contains("a.txt"));
  }
  // Opened again, the database gives back the same tree.
  Replica reopened(dir / "state", "Drive");
  EXPECT_EQ(childrenOf(reopened, folder), shown);
  EXPECT_EQ(reopened.listedContainers(),
            (std::vector<ItemIdentifier>{std::string(NSFileProviderRootContainerItemIdentifier),
                                         "ws:1", "ws:2"}));
}

TEST(ReplicaListing, InPartsNamesAtTheEndAndKeepsWhatTheFeedChangedMeanwhile) {
  testing::TempDir dir;
  Replica replica(dir / "state", "Drive");
  replica.applyListing(Replica::kRootId, {workspace("1", "Espace")});
  const std::uint64_t folder = replica.itemWithIdentifier("ws:1")->id;
  // A first listing cut short after one part (the network failed), then a whole one in
  // parts: a name shared across parts, and the feed changing an item between two parts.
  Replica::Listing cut;
  replica.addToListing(folder, {document("20", "old.txt", "v1")}, cut);
  Replica::Listing listing;
  replica.addToListing(folder, {document("12", "dup.txt", "v1"), document("11", "a.txt", "v1")},
                       listing);
  replica.applyChanges({{std::nullopt, document("11", "a.txt", "v2", 7)}}, "v4:5");
  replica.addToListing(folder, {document("10", "dup.txt", "v1")}, listing);
  replica.endListing(folder, listing);
  auto shown = childrenOf(replica, folder);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown.at("dup.txt").identifier, "do:10");
  EXPECT_EQ(shown.at("dup (2).txt").identifier, "do:12");
  EXPECT_EQ(shown.at("a.txt").size, 7);
  EXPECT_EQ(replica.anchor(), "v4:5");
  // Listed again in parts: what it shows changes only at the end, all at once.
  Replica::Listing again;
  replica.addToListing(folder, {document("12", "dup.txt", "v1")}, again);
  EXPECT_EQ(childrenOf(replica, folder), shown);
  replica.endListing(folder, again);
  shown = childrenOf(replica, folder);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown.at("dup.txt").identifier, "do:12");
}

}  // namespace
}  // namespace folium::platform::drive
