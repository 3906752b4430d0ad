// The streaming multipart reader, fed in pieces of every size.

#include "devserver/multipart_parser.hpp"

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver {
namespace {

struct Part {
  MultipartPartHeader header;
  std::string data;
};

std::vector<Part> parse(std::string_view body, const std::string& boundary, size_t pieceSize) {
  std::vector<Part> parts;
  MultipartParser parser(
      boundary,
      [&](const MultipartPartHeader& header) {
        parts.push_back({header, {}});
      },
      [&](std::string_view data) { parts.back().data.append(data); });
  for (size_t i = 0; i < body.size(); i += pieceSize) parser.feed(body.substr(i, pieceSize));
  parser.finish();
  return parts;
}

TEST(MultipartParser, SplitsPartsWhateverThePieceSize) {
  std::string binary;
  for (int i = 0; i < 2000; ++i) binary += static_cast<char>((i * 37) % 256);
  binary += "\r\n--Boundar";  // a delimiter cut short is contents
  // Headers of exactly the longest size allowed, whose blank line may arrive apart.
  const std::string longName(
      MultipartParser::kMaxHeaderBytes -
          std::string_view("Content-Disposition: form-data; name=\"empty\"; filename=\"\"").size(),
      'n');
  std::string body = testing::multipartBody(
      "Boundary",
      {{"workspace_id", {}, {}, "12"},
       {"uploaded_file", "r\xC3\xA9sum\xC3\xA9 %22v2%22.pdf", "application/pdf", binary},
       {"empty", longName, {}, ""}});
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{13}, size_t{512}, body.size()}) {
    auto parts = parse(body, "Boundary", piece);
    ASSERT_EQ(parts.size(), 3u) << "piece " << piece;
    EXPECT_EQ(parts[0].header.name, "workspace_id");
    EXPECT_FALSE(parts[0].header.filename);
    EXPECT_EQ(parts[0].data, "12");
    EXPECT_EQ(parts[1].header.name, "uploaded_file");
    EXPECT_EQ(parts[1].header.filename, "r\xC3\xA9sum\xC3\xA9 %22v2%22.pdf");
    EXPECT_EQ(parts[1].header.contentType, "application/pdf");
    EXPECT_TRUE(parts[1].data == binary) << "piece " << piece;
    EXPECT_EQ(parts[2].header.filename, longName);
    EXPECT_EQ(parts[2].data, "");
  }
}

}  // namespace
}  // namespace folium::devserver
