// Contents in and out: multipart uploads as clients write them, byte-exact round trips.

#include <gtest/gtest.h>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;
using folium::testing::fileMode;

std::string everyByte(size_t repeat) {
  std::string bytes;
  for (size_t r = 0; r < repeat; ++r) {
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  }
  return bytes;
}

class Upload : public ::testing::Test {
 protected:
  Upload() : api_(server_), ws_(str(api_.createWorkspace("W")["id"])) {}

  Devserver server_;
  ApiClient api_;
  std::string ws_;
};

TEST_F(Upload, NamesAndBytesComeBackExactly) {
  const std::string boundary = "Boundary-8C2C5E5A-2D7D-4C7B-9E8B-3D1A6F0C9B42";
  // Contents that look like framing: line breaks, dashes, the start of the boundary.
  std::string tricky = "\r\n--" + boundary.substr(0, 30) + "\r\n\r\n--\r\n" + everyByte(3) +
                       "\r\n--" + boundary.substr(0, 20) + "\r";
  struct Case {
    std::string filename;
    std::string data;
  };
  std::vector<Case> cases = {
      {"plain.txt", "hello"},
      {"Compte rendu réunion — été 2026.md", "Réunion"},
      {"%22quoted%22 name.txt", "escaped quotes are kept as sent"},
      {"line%0D%0Abreak.txt", "escaped line breaks too"},
      {"empty.bin", ""},
      {"tricky.bin", tricky},
      {"no-extension", everyByte(40)},
  };
  for (const auto& c : cases) {
    Reply reply = api_.upload("POST", "documents/documents",
                              {{"workspace_id", {}, {}, ws_},
                               {"uploaded_file", c.filename, "application/octet-stream", c.data}},
                              boundary);
    ASSERT_EQ(reply.status, 201) << c.filename << ": " << reply.body;
    auto document = decodeObject<FoliumDocument>(reply.body);
    EXPECT_EQ(document.name, c.filename);
    EXPECT_FALSE(document.documentsFolderId);
    EXPECT_EQ(document.workspaceId, ws_);
    EXPECT_EQ(document.downloadUrl,
              server_.baseURL() + "api/v1/documents/documents/" + document.id + "/blob");
    EXPECT_EQ(reply.json().at("size").as_int64(), static_cast<std::int64_t>(c.data.size()));
    Reply blob = api_.get("documents/documents/" + document.id + "/blob");
    EXPECT_EQ(blob.status, 200);
    EXPECT_TRUE(blob.body == c.data) << c.filename << ": contents differ";
    EXPECT_EQ(blob.header("Content-Length"), std::to_string(c.data.size()));
  }
}

TEST_F(Upload, ReplacingContentsKeepsNameAndPlace) {
  std::string folder = str(api_.createFolder(ws_, "F")["id"]);
  json::object created = api_.createDocument(ws_, "notes.md", "version 1", folder);
  std::string id = str(created["id"]);
  std::int64_t start = api_.changes(0)["cursor"].as_int64();

  Reply reply =
      api_.upload("PATCH", "documents/documents/" + id,
                  {{"uploaded_file", "local copy.md", "text/markdown", "version 2, longer"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  auto updated = decodeObject<FoliumDocument>(reply.body);
  EXPECT_EQ(updated.name, "notes.md");
  EXPECT_EQ(updated.documentsFolderId, folder);
  EXPECT_GT(*updated.updatedAt, str(created["updated_at"]));
  EXPECT_EQ(api_.get("documents/documents/" + id + "/blob").body, "version 2, longer");
  EXPECT_EQ(feedSince(api_, start), (std::vector<std::tuple<std::string, std::string, std::string>>{
                                        {"Document", id, "updated"}}));

  EXPECT_EQ(
      api_.upload("PATCH", "documents/documents/424242", {{"uploaded_file", "x", {}, "x"}}).status,
      404);
}

// A body cut short, a name the server cannot store, a workspace deleted meanwhile.
TEST_F(Upload, RefusedUploadsLeaveNothingBehindAndContentsArePrivate) {
  auto part = [](const std::string& disposition, const std::string& data) {
    return "--B\r\nContent-Disposition: form-data" + disposition + "\r\n\r\n" + data + "\r\n";
  };
  const std::string good = part("; name=\"workspace_id\"", ws_);
  const std::string file = part("; name=\"uploaded_file\"; filename=\"f.txt\"", "data");
  const std::pair<std::string, int> cases[] = {
      {good + file, 400},  // no closing boundary
      {good + part("; name=\"uploaded_file\"; filename=\"caf\xE9\"", "x") + "--B--\r\n", 400},
      {part("; name=\"workspace_id\"", "987654") + file + "--B--\r\n", 422},
  };
  std::int64_t before = api_.changes(0)["cursor"].as_int64();
  for (const auto& [body, status] : cases) {
    Reply reply = api_.send("POST", "documents/documents", body, "multipart/form-data; boundary=B");
    EXPECT_EQ(reply.status, status) << body << ": " << reply.body;
  }
  EXPECT_EQ(api_.changes(0)["cursor"].as_int64(), before);
  EXPECT_TRUE(std::filesystem::is_empty(server_.dataDir() / "tmp"))
      << "temporary uploads were left";
  EXPECT_TRUE(std::filesystem::is_empty(server_.dataDir() / "blobs"));
  // The connection is still usable after all these refusals.
  std::string stored = str(api_.createDocument(ws_, "secret.md", "s")["id"]);
  // Contents are private files named by identifier, next to a private database.
  EXPECT_EQ(fileMode(server_.dataDir() / "blobs" / stored), 0600u);
  EXPECT_EQ(fileMode(server_.dataDir()) & 0477, 0400u);
  EXPECT_EQ(fileMode(server_.dataDir() / "folium.sqlite3") & 0477, 0400u);
}

}  // namespace
}  // namespace folium::devserver::testing
