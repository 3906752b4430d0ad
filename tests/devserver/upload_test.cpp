// Contents in and out: multipart uploads as clients write them, byte-exact round trips.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

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
      {"with spaces and (brackets).md", "# titre"},
      {"Compte rendu réunion — été 2026.md", "Réunion"},
      {"%22quoted%22 name.txt", "escaped quotes are kept as sent"},
      {"line%0D%0Abreak.txt", "escaped line breaks too"},
      {"back\\slash;semi=colon.txt", "kept as is"},
      {"日本語のファイル.pdf", everyByte(1)},
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
    EXPECT_EQ(reply.json().at("size").as_int64(), static_cast<std::int64_t>(c.data.size()));
    Reply blob = api_.get("documents/documents/" + document.id + "/blob");
    EXPECT_EQ(blob.status, 200);
    EXPECT_TRUE(blob.body == c.data) << c.filename << ": contents differ";
    EXPECT_EQ(blob.header("Content-Length"), std::to_string(c.data.size()));
  }
}

TEST_F(Upload, AcceptsPartsInAnyOrderAndAQuoteLeftInTheName) {
  std::string folder = str(api_.createFolder(ws_, "F")["id"]);
  // File first, folder field before the workspace one, an unknown field, a preamble.
  std::string boundary = "b0undary";
  std::string body =
      "This is a preamble.\r\n" +
      multipartBody(boundary, {{"uploaded_file", "say \"hi\".txt", "text/plain", "hi"},
                               {"documents_folder_id", {}, {}, folder},
                               {"comment", {}, {}, "ignored"},
                               {"workspace_id", {}, {}, ws_}}) +
      "epilogue";
  Reply reply = api_.send("POST", "documents/documents", body,
                          "multipart/form-data; boundary=\"" + boundary + "\"");
  ASSERT_EQ(reply.status, 201) << reply.body;
  auto document = decodeObject<FoliumDocument>(reply.body);
  EXPECT_EQ(document.name, "say \"hi\".txt");
  EXPECT_EQ(document.documentsFolderId, folder);
  Reply blob = api_.get("documents/documents/" + document.id + "/blob");
  EXPECT_EQ(blob.body, "hi");
  EXPECT_EQ(blob.header("Content-Type"), "text/plain");
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

TEST_F(Upload, MalformedUploadsAreRefusedAndLeaveNothingBehind) {
  std::string good =
      "--B\r\nContent-Disposition: form-data; name=\"workspace_id\"\r\n\r\n" + ws_ + "\r\n";
  std::string file =
      "--B\r\nContent-Disposition: form-data; name=\"uploaded_file\"; "
      "filename=\"f.txt\"\r\n\r\ndata\r\n";
  struct Case {
    std::string description;
    std::string contentType;
    std::string body;
    int status;
  };
  std::vector<Case> cases = {
      {"no closing boundary", "multipart/form-data; boundary=B", good + file, 400},
      {"no file part", "multipart/form-data; boundary=B", good + "--B--\r\n", 400},
      {"no workspace", "multipart/form-data; boundary=B", file + "--B--\r\n", 400},
      {"file without filename", "multipart/form-data; boundary=B",
       good + "--B\r\nContent-Disposition: form-data; name=\"uploaded_file\"\r\n\r\nx\r\n--B--\r\n",
       400},
      {"two files", "multipart/form-data; boundary=B", good + file + file + "--B--\r\n", 400},
      {"empty file name", "multipart/form-data; boundary=B",
       good + "--B\r\nContent-Disposition: form-data; name=\"uploaded_file\"; "
              "filename=\"\"\r\n\r\nx\r\n--B--\r\n",
       400},
      {"slash in file name", "multipart/form-data; boundary=B",
       good + "--B\r\nContent-Disposition: form-data; name=\"uploaded_file\"; "
              "filename=\"a/b\"\r\n\r\nx\r\n--B--\r\n",
       400},
      {"not UTF-8 file name", "multipart/form-data; boundary=B",
       good + "--B\r\nContent-Disposition: form-data; name=\"uploaded_file\"; "
              "filename=\"caf\xE9\"\r\n\r\nx\r\n--B--\r\n",
       400},
      {"part without name", "multipart/form-data; boundary=B",
       good + "--B\r\nContent-Disposition: form-data\r\n\r\nx\r\n" + file + "--B--\r\n", 400},
      {"garbage after boundary", "multipart/form-data; boundary=B",
       "--Bxyz\r\n" + file + "--B--\r\n", 400},
      {"no boundary", "multipart/form-data", good + file + "--B--\r\n", 400},
      {"JSON instead", "application/json", "{\"workspace_id\":\"" + ws_ + "\"}", 400},
      {"unknown workspace", "multipart/form-data; boundary=B",
       "--B\r\nContent-Disposition: form-data; name=\"workspace_id\"\r\n\r\n987654\r\n" + file +
           "--B--\r\n",
       422},
  };
  std::int64_t before = api_.changes(0)["cursor"].as_int64();
  for (const auto& c : cases) {
    Reply reply = api_.send("POST", "documents/documents", c.body, c.contentType);
    EXPECT_EQ(reply.status, c.status) << c.description << ": " << reply.body;
  }
  EXPECT_EQ(api_.changes(0)["cursor"].as_int64(), before);
  EXPECT_TRUE(std::filesystem::is_empty(server_.dataDir() / "tmp"))
      << "temporary uploads were left";
  EXPECT_TRUE(std::filesystem::is_empty(server_.dataDir() / "blobs"));
  // The connection is still usable after all these refusals.
  EXPECT_EQ(api_.get("documents/workspaces").status, 200);
}

TEST_F(Upload, ContentsArePrivateFilesNamedByIdentifier) {
  std::string other = str(api_.createDocument(ws_, "secret.md", "s")["id"]);
  auto blob = server_.dataDir() / "blobs" / other;
  ASSERT_TRUE(std::filesystem::exists(blob));
  struct stat info {};
  ASSERT_EQ(::stat(blob.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(server_.dataDir().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);
  ASSERT_EQ(::stat((server_.dataDir() / "folium.sqlite3").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);
}

}  // namespace
}  // namespace folium::devserver::testing
