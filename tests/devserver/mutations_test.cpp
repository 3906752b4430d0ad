// Tree changes and the change feed that records them.

#include <gtest/gtest.h>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;
using Feed = std::vector<std::tuple<std::string, std::string, std::string>>;

std::int64_t feedEnd(ApiClient& api) { return api.changes(0)["cursor"].as_int64(); }

TEST(Mutations, RenameMoveAndDeleteAreAppliedAndFedInOrder) {
  Devserver server;
  ApiClient api(server);
  std::string ws = str(api.createWorkspace("A")["id"]);
  std::string left = str(api.createFolder(ws, "left")["id"]);
  std::string right = str(api.createFolder(ws, "right")["id"]);
  json::object created = api.createDocument(ws, "a.txt", "alpha", left);
  std::string doc = str(created["id"]);
  std::int64_t start = feedEnd(api);

  json::object renamed = api.patched("documents/documents/" + doc, {{"name", "b.txt"}});
  EXPECT_EQ(str(renamed["name"]), "b.txt");
  EXPECT_EQ(str(renamed["documents_folder_id"]), left) << "a rename leaves the folder alone";
  json::object moved = api.patched("documents/documents/" + doc, {{"documents_folder_id", right}});
  EXPECT_EQ(str(moved["documents_folder_id"]), right);
  EXPECT_EQ(str(moved["name"]), "b.txt") << "a move leaves the name alone";
  json::object top = api.patched("documents/documents/" + doc, {{"documents_folder_id", nullptr}});
  EXPECT_TRUE(top["documents_folder_id"].is_null());
  json::object folder = api.patched("documents/folders/" + left,
                                    {{"name", "gauche"}, {"documents_folder_id", right}});
  EXPECT_EQ(str(folder["name"]), "gauche");
  EXPECT_EQ(str(folder["documents_folder_id"]), right);
  // A change that changes nothing is not fed and keeps the time stamp.
  json::object same = api.patched("documents/documents/" + doc,
                                  {{"name", "b.txt"}, {"documents_folder_id", nullptr}});
  EXPECT_EQ(same["updated_at"], top["updated_at"]);
  Reply deleted = api.del("documents/documents/" + doc);
  EXPECT_EQ(deleted.status, 204);
  EXPECT_TRUE(deleted.body.empty());
  EXPECT_EQ(api.get("documents/documents/" + doc).status, 404);
  EXPECT_EQ(api.del("documents/documents/" + doc).status, 404) << "deleting twice";

  EXPECT_EQ(feedSince(api, start), (Feed{{"Document", doc, "updated"},
                                         {"Document", doc, "moved"},
                                         {"Document", doc, "moved"},
                                         {"DocumentsFolder", left, "moved"},
                                         {"Document", doc, "deleted"}}));

  // Every change gave the entity a new, later time stamp.
  std::vector<std::string> stamps = {str(created["updated_at"]), str(renamed["updated_at"]),
                                     str(moved["updated_at"]), str(top["updated_at"])};
  for (size_t i = 1; i < stamps.size(); ++i) EXPECT_LT(stamps[i - 1], stamps[i]);
  EXPECT_EQ(str(top["created_at"]), str(created["created_at"]));
}

TEST(Mutations, DeletingAFolderDeletesEverythingItHoldsAndFeedsEachDeletion) {
  Devserver server;
  ApiClient api(server);
  std::string ws = str(api.createWorkspace("A")["id"]);
  std::string root = str(api.createFolder(ws, "root")["id"]);
  std::string child = str(api.createFolder(ws, "child", root)["id"]);
  std::string grandchild = str(api.createFolder(ws, "grandchild", child)["id"]);
  std::string sibling = str(api.createFolder(ws, "sibling")["id"]);
  std::string d1 = str(api.createDocument(ws, "1.txt", "one", root)["id"]);
  std::string d2 = str(api.createDocument(ws, "2.txt", "two", grandchild)["id"]);
  std::string kept = str(api.createDocument(ws, "kept.txt", "kept", sibling)["id"]);
  std::int64_t start = feedEnd(api);

  EXPECT_EQ(api.del("documents/folders/" + root).status, 204);

  Feed feed = feedSince(api, start);
  ASSERT_FALSE(feed.empty());
  EXPECT_EQ(feed.front(),
            std::make_tuple(std::string("DocumentsFolder"), root, std::string("deleted")));
  std::multiset<std::tuple<std::string, std::string, std::string>> got(feed.begin(), feed.end());
  EXPECT_EQ(got, (std::multiset<std::tuple<std::string, std::string, std::string>>{
                     {"DocumentsFolder", root, "deleted"},
                     {"DocumentsFolder", child, "deleted"},
                     {"DocumentsFolder", grandchild, "deleted"},
                     {"Document", d1, "deleted"},
                     {"Document", d2, "deleted"}}));
  for (const auto& id : {root, child, grandchild})
    EXPECT_EQ(api.get("documents/folders/" + id).status, 404);
  for (const auto& id : {d1, d2}) {
    EXPECT_EQ(api.get("documents/documents/" + id).status, 404);
    EXPECT_EQ(api.get("documents/documents/" + id + "/blob").status, 404);
  }
  EXPECT_EQ(api.get("documents/documents/" + kept + "/blob").body, "kept");
  EXPECT_EQ(api.get("documents/folders?workspace_id=" + ws).json().as_array().size(), 1u);
  // The contents are gone from the disk too: only the kept document's file is left.
  EXPECT_EQ(folium::testing::folderEntries(server.dataDir() / "blobs"),
            std::set<std::string>{kept});
}

TEST(ChangeFeed, CursorPagingReachesTheEndAndStaysThere) {
  Devserver server;
  ApiClient api(server);
  std::string ws = str(api.createWorkspace("A")["id"]);
  for (int i = 0; i < 6; ++i) api.createFolder(ws, "f" + std::to_string(i));  // 7 changes in all

  std::vector<std::int64_t> seen;
  std::int64_t cursor = 0;
  std::vector<bool> more;
  for (int guard = 0; guard < 10; ++guard) {
    json::object page = api.changes(cursor, 3);
    auto page2 = decodeObject<ChangePage>(json::serialize(page));  // what the client reads
    for (const auto& change : page2.changes) seen.push_back(change.id);
    if (!page2.changes.empty()) {
      EXPECT_EQ(page2.cursor, page2.changes.back().id);
    }
    more.push_back(page2.hasMore);
    cursor = page2.cursor;
    if (!page2.hasMore) break;
  }
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(more, (std::vector<bool>{true, true, false}));

  // At the end (or past it) an empty page keeps the cursor it was asked from.
  for (std::int64_t at : {std::int64_t{7}, std::int64_t{50}}) {
    json::object empty = api.changes(at, 5);
    EXPECT_TRUE(empty["changes"].as_array().empty());
    EXPECT_EQ(empty["cursor"].as_int64(), at);
    EXPECT_FALSE(empty["has_more"].as_bool());
  }
  // A limit past what one page holds is served, not refused.
  EXPECT_EQ(api.changes(0, 5000)["changes"].as_array().size(), 7u);
  json::object first = api.changes(0, 1);
  const auto& record = first["changes"].as_array()[0].as_object();
  EXPECT_EQ(str(record.at("entity_type")), "Workspace");
  EXPECT_EQ(str(record.at("workspace_id")), ws);
  EXPECT_TRUE(record.at("occurred_at").is_string());
}

TEST(Mutations, SurviveARestartAndNeverReuseIdentifiers) {
  folium::testing::TempDir dir;
  auto data = dir / "data";
  std::string deletedId;
  std::string keptId;
  {
    folium::testing::Devserver first({"--data", data.string()});
    ApiClient api(first);
    std::string ws = str(api.createWorkspace("A")["id"]);
    keptId = str(api.createDocument(ws, "kept.md", "# gardé")["id"]);
    deletedId = str(api.createDocument(ws, "gone.md", "x")["id"]);
    ASSERT_EQ(api.del("documents/documents/" + deletedId).status, 204);
  }
  folium::testing::Devserver second({"--data", data.string()});
  ApiClient api(second);
  EXPECT_EQ(api.get("documents/documents/" + keptId + "/blob").body, "# gardé");
  std::string ws = str(api.get("documents/workspaces").json().as_array()[0].at("id"));
  std::string next = str(api.createDocument(ws, "new.md", "y")["id"]);
  EXPECT_GT(std::stoll(next), std::stoll(deletedId));
  EXPECT_EQ(api.changes(0)["changes"].as_array().size(), 5u);
}

}  // namespace
}  // namespace folium::devserver::testing
