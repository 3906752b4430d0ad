// Full-text search as French users type it: without accents, word starts, stray syntax.

#include <gtest/gtest.h>

#include <set>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "devserver/pdf_text.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

class Search : public ::testing::Test {
 protected:
  Search() : api_(server_) {
    ws_ = str(api_.createWorkspace("Ressources humaines")["id"]);
    folder_ = str(api_.createFolder(ws_, "Comité d'entreprise")["id"]);
    minutes_ = str(api_.createDocument(ws_, "Compte rendu réunion.md",
                                       "Le comité s'est réuni en été pour préparer la rentrée.",
                                       folder_)["id"]);
    report_ = str(api_.upload("POST", "documents/documents",
                              {{"workspace_id", {}, {}, ws_},
                               {"uploaded_file", "Rapport annuel 2025.pdf", "application/pdf",
                                makeTextPdf("Rapport annuel", {"Chiffre d'affaires en hausse",
                                                               "Effectifs stables"})}})
                      .json()
                      .at("id")
                      .as_string());
    binary_ = str(api_.createDocument(ws_, "photo.png", "\x89PNG réunion")["id"]);
  }

  std::vector<SearchHit> search(const std::string& query, int limit = 50) {
    Reply reply = api_.get(
        httplib::append_query_params("search", {{"q", query}, {"limit", std::to_string(limit)}}));
    EXPECT_EQ(reply.status, 200) << query << ": " << reply.body;
    if (reply.status != 200) return {};
    return decodeObject<SearchResponse>(reply.body).results;
  }

  std::set<std::string> hitIds(const std::string& query) {
    std::set<std::string> out;
    for (const auto& hit : search(query)) out.insert(hit.entityId);
    return out;
  }

  Devserver server_;
  ApiClient api_;
  std::string ws_, folder_, minutes_, report_, binary_;
};

TEST_F(Search, FindsNamesAndContentsAsTypedAndFollowsChanges) {
  const std::pair<std::string, std::set<std::string>> cases[] = {
      {"RÉUNION", {minutes_}},            // name and contents, case and accents ignored
      {"rentree comite", {minutes_}},     // every word required, in any order
      {"comite", {minutes_, folder_}},    // a folder's name too
      {"ressources", {ws_}},              // a workspace's label
      {"rapp annu", {report_}},           // word starts
      {"chiffre d'affaires", {report_}},  // text shown by a PDF, an apostrophe inside a word
      {"reunion photo", {}},              // binary contents are not read
      // Search syntax is text to look for, never an operator nor a failure.
      {"comité OR rapport", {}},
      {"réunion*", {minutes_}},
      {"\"", {}},
      {"name:réunion", {}},
      {"NEAR(a b)", {}},
      {"' OR 1=1 --", {}},
      {"", {}},
  };
  for (const auto& [query, expected] : cases) EXPECT_EQ(hitIds(query), expected) << query;

  ASSERT_EQ(api_.patch("documents/documents/" + minutes_, {{"name", "Procès-verbal.md"}}).status,
            200);
  EXPECT_EQ(hitIds("proces verbal"), std::set<std::string>{minutes_});
  EXPECT_EQ(hitIds("compte"), std::set<std::string>{});
  ASSERT_EQ(api_.upload("PATCH", "documents/documents/" + minutes_,
                        {{"uploaded_file", "x.md", "text/markdown", "Nouvel ordre du jour"}})
                .status,
            200);
  EXPECT_TRUE(hitIds("rentree").empty());
  EXPECT_EQ(hitIds("ordre jour"), std::set<std::string>{minutes_});
  ASSERT_EQ(api_.del("documents/folders/" + folder_).status, 204);
  EXPECT_TRUE(hitIds("ordre").empty());
}

TEST_F(Search, HitsDescribeTheirEntity) {
  auto hits = search("compte rendu");
  ASSERT_EQ(hits.size(), 1u);
  const SearchHit& hit = hits[0];
  EXPECT_EQ(hit.entityType, "Document");
  EXPECT_EQ(hit.name, "Compte rendu réunion.md");
  EXPECT_EQ(hit.workspaceId, ws_);
  EXPECT_EQ(hit.folderId, folder_);
  ASSERT_TRUE(hit.excerpt);
  EXPECT_NE(hit.excerpt->find("réuni"), std::string::npos) << *hit.excerpt;
  EXPECT_TRUE(hit.updatedAt);
  EXPECT_TRUE(hit.isFile());

  // A folder hit is not drawn as a file.
  auto folders = search("entreprise");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].entityType, "Folder");
  EXPECT_FALSE(folders[0].isFile());
  EXPECT_FALSE(folders[0].excerpt);
  EXPECT_FALSE(search("ressources").at(0).isFile()) << "a workspace hit";
}

TEST_F(Search, LimitIsAppliedAndCapped) {
  for (int i = 0; i < 5; ++i) api_.createFolder(ws_, "Lot " + std::to_string(i));
  const std::tuple<std::string, std::size_t, std::int64_t> cases[] = {
      {"&limit=3", 3, 3}, {"&limit=100000", 5, 200}, {"", 5, 50}};
  for (const auto& [limit, hits, applied] : cases) {
    json::object body = api_.get("search?q=lot" + limit).json().as_object();
    EXPECT_EQ(body["results"].as_array().size(), hits) << limit;
    EXPECT_EQ(body["total"].as_int64(), 5);
    EXPECT_EQ(body["limit"].as_int64(), applied);
  }
}

}  // namespace
}  // namespace folium::devserver::testing
