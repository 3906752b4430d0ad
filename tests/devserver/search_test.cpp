// Full-text search as French users type it: without accents, word starts, stray syntax.

#include <gtest/gtest.h>

#include <set>

#include "devserver/pdf_text.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

TEST(Search, FindsNamesAndContentsAsTypedAndTellsFoldersFromFiles) {
  folium::testing::Devserver server;
  const FoliumClient client = server.client();
  const std::string ws = createWorkspace(server, "Ressources humaines");
  const std::string folder = client.createFolder(ws, std::nullopt, "Comité d'entreprise").id;
  const std::string minutes =
      client
          .createDocument(ws, folder, "Compte rendu réunion.md",
                          "Le comité s'est réuni en été pour préparer la rentrée.")
          .id;
  const std::string report =
      client
          .createDocument(
              ws, std::nullopt, "Rapport annuel 2025.pdf",
              makeTextPdf("Rapport annuel", {"Chiffre d'affaires en hausse", "Effectifs stables"}))
          .id;
  client.createDocument(ws, std::nullopt, "photo.png", "\x89PNG réunion");
  const std::pair<std::string, std::set<std::string>> cases[] = {
      {"RÉUNION", {minutes}},            // name and contents, case and accents ignored
      {"comite", {minutes, folder}},     // a folder's name too
      {"ressources", {ws}},              // a workspace's label
      {"rapp annu", {report}},           // word starts
      {"chiffre d'affaires", {report}},  // text shown by a PDF, an apostrophe inside a word
      {"reunion photo", {}},             // binary contents are not read
      // Search syntax is text to look for, never an operator nor a failure.
      {"comité OR rapport", {}},
      {"\"", {}},
      {"' OR 1=1 --", {}},
      {"", {}},
  };
  for (const auto& [query, expected] : cases) {
    std::set<std::string> found;
    for (const auto& hit : client.search(query, 50)) found.insert(hit.entityId);
    EXPECT_EQ(found, expected) << query;
  }

  const SearchHit document = client.search("compte rendu", 50).at(0);
  EXPECT_EQ(document.entityType, "Document");
  EXPECT_EQ(document.workspaceId, ws);
  EXPECT_EQ(document.folderId, folder);
  EXPECT_NE(document.excerpt.value_or("").find("réuni"), std::string::npos);
  EXPECT_TRUE(document.updatedAt);
  EXPECT_TRUE(document.isFile());
  // Neither a folder nor a workspace is drawn as a file.
  const SearchHit folderHit = client.search("entreprise", 50).at(0);
  EXPECT_EQ(folderHit.entityType, "Folder");
  EXPECT_FALSE(folderHit.isFile());
  EXPECT_FALSE(folderHit.excerpt);
  EXPECT_FALSE(client.search("ressources", 50).at(0).isFile());
}

}  // namespace
}  // namespace folium::devserver::testing
