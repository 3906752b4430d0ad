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
  for (size_t i = 0; i < 256 * repeat; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(Upload, NamesAndBytesComeBackExactlyIntoPrivateFiles) {
  Devserver server;
  const std::string ws = createWorkspace(server, "W");
  httplib::Client http = httpOf(server);
  const std::string boundary = "Boundary-8C2C5E5A-2D7D-4C7B-9E8B-3D1A6F0C9B42";
  // Contents that look like framing: line breaks, dashes, the start of the boundary.
  const std::string tricky = "\r\n--" + boundary.substr(0, 30) + "\r\n\r\n--\r\n" + everyByte(3) +
                             "\r\n--" + boundary.substr(0, 20) + "\r";
  const std::pair<std::string, std::string> cases[] = {
      {"plain.txt", "hello"},
      {"Compte rendu réunion — été 2026.md", "Réunion"},
      {"%22quoted%22 name.txt", "escaped quotes are kept as sent"},
      {"line%0D%0Abreak.txt", "escaped line breaks too"},
      {"empty.bin", ""},
      {"tricky.bin", tricky},
      {"no-extension", everyByte(40)},
  };
  for (const auto& [filename, data] : cases) {
    auto reply = http.Post(
        "/api/v1/documents/documents",
        multipartBody(boundary, {{"workspace_id", {}, {}, ws},
                                 {"uploaded_file", filename, "application/octet-stream", data}}),
        "multipart/form-data; boundary=" + boundary);
    ASSERT_TRUE(reply && reply->status == 201) << filename;
    const auto document = decodeObject<FoliumDocument>(reply->body);
    EXPECT_EQ(document.name, filename);
    EXPECT_FALSE(document.documentsFolderId);
    EXPECT_EQ(document.workspaceId, ws);
    EXPECT_EQ(document.size, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(document.downloadUrl,
              server.baseURL() + "api/v1/documents/documents/" + document.id + "/blob");
    auto blob = http.Get("/api/v1/documents/documents/" + document.id + "/blob");
    ASSERT_TRUE(blob && blob->status == 200);
    EXPECT_TRUE(blob->body == data) << filename << ": contents differ";
    EXPECT_EQ(blob->get_header_value("Content-Length"), std::to_string(data.size()));
    // Contents are private files named by identifier, next to a private database.
    EXPECT_EQ(fileMode(server.dataDir() / "blobs" / document.id), 0600u);
  }
  EXPECT_EQ(fileMode(server.dataDir()) & 0477, 0400u);
  EXPECT_EQ(fileMode(server.dataDir() / "folium.sqlite3") & 0477, 0400u);
}

}  // namespace
}  // namespace folium::devserver::testing
