// Listings: paging with X-Has-More, filters, stable order, and records the client's own
// decoder accepts.

#include <gtest/gtest.h>

#include <set>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

std::vector<std::string> ids(const Reply& reply) {
  std::vector<std::string> out;
  json::value list = reply.json();
  for (const auto& item : list.as_array()) out.push_back(str(item.at("id")));
  return out;
}

TEST(ListingPaging, WalksThousandsOfDocumentsPageByPageWithHasMore) {
  Devserver server({"--bulk", "2500"});
  ApiClient api(server);

  std::vector<std::string> all;
  std::vector<std::string> hasMore;
  for (int page = 1; page <= 4; ++page) {
    Reply reply = api.get("documents/documents?per_page=1000&page=" + std::to_string(page));
    ASSERT_EQ(reply.status, 200) << reply.body;
    hasMore.push_back(reply.header("X-Has-More"));
    // Every page is what the client decodes, with its own rules.
    auto documents = decodeArray<FoliumDocument>(reply.body);
    for (const auto& document : documents) all.push_back(document.id);
  }
  EXPECT_EQ(hasMore, (std::vector<std::string>{"true", "true", "false", "false"}));
  ASSERT_EQ(all.size(), 2500u);
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 2500u) << "a record repeats";
  // Stable order: creation order, which for these ids is numeric order.
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(std::stoll(all[i - 1]), std::stoll(all[i]));

  // An exactly full last page has no more after it; a page far beyond the end is empty.
  Reply last = api.get("documents/documents?per_page=500&page=5");
  EXPECT_EQ(ids(last).size(), 500u);
  EXPECT_EQ(last.header("X-Has-More"), "false");
  Reply beyond = api.get("documents/documents?per_page=2&page=99999999999");
  EXPECT_EQ(beyond.status, 200);
  EXPECT_EQ(beyond.body, "[]");
  EXPECT_EQ(beyond.header("X-Has-More"), "false");
}

TEST(ListingFilters, WorkspaceListsNestedItemsAndFolderListsChildren) {
  Devserver server;
  ApiClient api(server);
  std::string a = str(api.createWorkspace("A")["id"]);
  std::string b = str(api.createWorkspace("B")["id"]);
  std::string top = str(api.createFolder(a, "top")["id"]);
  std::string nested = str(api.createFolder(a, "nested", top)["id"]);
  std::string deep = str(api.createFolder(a, "deep", nested)["id"]);
  std::string other = str(api.createFolder(b, "other")["id"]);
  std::string docTop = str(api.createDocument(a, "top.txt", "x")["id"]);
  std::string docNested = str(api.createDocument(a, "n.txt", "y", nested)["id"]);
  std::string docOther = str(api.createDocument(b, "o.txt", "z")["id"]);

  struct Case {
    std::string target;
    std::vector<std::string> expected;
  };
  std::vector<Case> cases = {
      {"documents/folders", {top, nested, deep, other}},
      {"documents/folders?workspace_id=" + a, {top, nested, deep}},
      {"documents/folders?documents_folder_id=" + top, {nested}},
      {"documents/folders?workspace_id=" + a + "&documents_folder_id=" + nested, {deep}},
      {"documents/folders?workspace_id=" + b + "&documents_folder_id=" + nested, {}},
      {"documents/documents", {docTop, docNested, docOther}},
      {"documents/documents?workspace_id=" + a, {docTop, docNested}},
      {"documents/documents?documents_folder_id=" + nested, {docNested}},
      {"documents/documents?documents_folder_id=" + deep, {}},
      {"documents/workspaces", {a, b}},
  };
  for (const auto& c : cases) {
    Reply reply = api.get(c.target);
    ASSERT_EQ(reply.status, 200) << c.target << ": " << reply.body;
    EXPECT_EQ(ids(reply), c.expected) << c.target;
  }
}

}  // namespace
}  // namespace folium::devserver::testing
