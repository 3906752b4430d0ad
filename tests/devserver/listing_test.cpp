// What the client pages through: listings with X-Has-More and the change feed's cursor, read
// with the client's own decoders.

#include <gtest/gtest.h>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

TEST(ListingPaging, WalksThousandsOfDocumentsPageByPageWithHasMore) {
  Devserver server({"--bulk", "2500"});
  httplib::Client http = httpOf(server);
  auto page = [&](int perPage, std::int64_t number) {
    auto reply = http.Get("/api/v1/documents/documents?per_page=" + std::to_string(perPage) +
                          "&page=" + std::to_string(number));
    EXPECT_TRUE(reply && reply->status == 200);
    return std::pair{decodeArray<FoliumDocument>(reply->body),
                     reply->get_header_value("X-Has-More")};
  };
  std::vector<std::int64_t> ids;
  std::vector<std::string> hasMore;
  for (int number = 1; number <= 4; ++number) {
    const auto [documents, more] = page(1000, number);
    for (const auto& document : documents) ids.push_back(std::stoll(document.id));
    hasMore.push_back(more);
  }
  EXPECT_EQ(hasMore, (std::vector<std::string>{"true", "true", "false", "false"}));
  ASSERT_EQ(ids.size(), 2500u);
  // Creation order, which for these ids is numeric order: no record repeats or goes missing.
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) &&
              std::adjacent_find(ids.begin(), ids.end()) == ids.end());
  // An exactly full last page has no more after it; a page far beyond the end is empty.
  const auto [last, lastMore] = page(500, 5);
  EXPECT_EQ(last.size(), 500u);
  EXPECT_EQ(lastMore, "false");
  const auto [beyond, beyondMore] = page(2, 99999999999);
  EXPECT_TRUE(beyond.empty());
  EXPECT_EQ(beyondMore, "false");
}

TEST(ChangeFeed, CursorPagingReachesTheEndAndStaysThere) {
  Devserver server;
  const FoliumClient client = server.client();
  const std::string ws = createWorkspace(server, "A");
  for (int i = 0; i < 6; ++i) client.createFolder(ws, std::nullopt, "f" + std::to_string(i));

  std::vector<std::int64_t> seen;
  std::vector<bool> more;
  for (std::int64_t cursor = 0; more.size() < 10;) {
    const ChangePage page = client.changes(cursor, 3);
    for (const auto& change : page.changes) seen.push_back(change.id);
    if (!page.changes.empty()) {
      EXPECT_EQ(page.cursor, page.changes.back().id);
    }
    more.push_back(page.hasMore);
    cursor = page.cursor;
    if (!page.hasMore) break;
  }
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(more, (std::vector<bool>{true, true, false}));
  // At the end (or past it) an empty page keeps the cursor it was asked from.
  for (std::int64_t at : {7, 50}) {
    const ChangePage empty = client.changes(at, 5);
    EXPECT_TRUE(empty.changes.empty());
    EXPECT_EQ(empty.cursor, at);
    EXPECT_FALSE(empty.hasMore);
  }
  // A limit past what one page holds is served, not refused.
  EXPECT_EQ(client.changes(0, 5000).changes.size(), 7u);
  const ChangeRecord first = client.changes(0, 1).changes.at(0);
  EXPECT_EQ(first.entityType, "Workspace");
  EXPECT_EQ(first.workspaceId, ws);
  EXPECT_TRUE(first.occurredAt);
}

}  // namespace
}  // namespace folium::devserver::testing
