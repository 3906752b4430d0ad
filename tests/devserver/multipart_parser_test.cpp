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
  std::string body = testing::multipartBody(
      "Boundary",
      {{"workspace_id", {}, {}, "12"},
       {"uploaded_file", "r\xC3\xA9sum\xC3\xA9 %22v2%22.pdf", "application/pdf", binary},
       {"empty", {}, {}, ""}});
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
    EXPECT_EQ(parts[2].data, "");
  }
}

TEST(MultipartParser, ReadsHeaderVariants) {
  struct Case {
    std::string disposition;
    std::string name;
    std::optional<std::string> filename;
  };
  std::vector<Case> cases = {
      {"form-data; name=\"f\"; filename=\"a.txt\"", "f", "a.txt"},
      {"form-data; filename=\"a.txt\"; name=\"f\"", "f", "a.txt"},
      {"FORM-DATA;NAME=f;FILENAME=plain.txt", "f", "plain.txt"},
      {"form-data; name=\"f\"; filename=\"say \"hi\".txt\"", "f", "say \"hi\".txt"},
      {"form-data; name=\"f\"; filename=\"semi;colon\\\\.txt\"", "f", "semi;colon\\\\.txt"},
      {"form-data; name=\"f\"; filename=\"\"", "f", ""},
  };
  for (const auto& c : cases) {
    std::string body =
        "--B\r\ncontent-disposition: " + c.disposition + "\r\nX-Other: 1\r\n\r\nx\r\n--B--";
    auto parts = parse(body, "B", body.size());
    ASSERT_EQ(parts.size(), 1u) << c.disposition;
    EXPECT_EQ(parts[0].header.name, c.name) << c.disposition;
    EXPECT_EQ(parts[0].header.filename, c.filename) << c.disposition;
  }
}

TEST(MultipartParser, RefusesMalformedBodies) {
  // Other faults (no closing boundary, text after one, no name) are refused by upload tests.
  std::vector<std::pair<std::string, std::string>> cases = {
      {"no boundary at all", "just text"},
      {"header without colon", "--B\r\nContent-Disposition form-data\r\n\r\nx\r\n--B--"},
      {"unterminated quote", "--B\r\nContent-Disposition: form-data; name=\"a\r\n\r\nx\r\n--B--"},
      {"endless headers", "--B\r\nX: " + std::string(20000, 'h')},
  };
  for (const auto& [description, body] : cases) {
    EXPECT_THROW(parse(body, "B", 5), MultipartError) << description;
  }
}

TEST(MultipartParser, FindsTheBoundaryInTheContentType) {
  struct Case {
    std::string contentType;
    std::optional<std::string> boundary;
  };
  std::vector<Case> cases = {
      {"multipart/form-data; boundary=Boundary-1234", "Boundary-1234"},
      {"Multipart/Form-Data;boundary=\"quoted; with semicolon\"", "quoted; with semicolon"},
      {"multipart/form-data; charset=utf-8; BOUNDARY=x", "x"},
      {"multipart/form-data", std::nullopt},
      {"multipart/form-data; boundary=", std::nullopt},
      {"multipart/mixed; boundary=x", std::nullopt},
      {"application/json", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MultipartParser::boundaryOf(c.contentType), c.boundary) << c.contentType;
}

}  // namespace
}  // namespace folium::devserver
