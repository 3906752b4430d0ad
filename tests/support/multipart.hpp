#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folium::testing {

struct MultipartPart {
  std::vector<std::pair<std::string, std::string>> headers;  // as written
  std::string disposition;                                   // the Content-Disposition value
  std::optional<std::string> contentType;
  std::string body;
};

struct ParsedMultipart {
  bool valid = false;
  std::string error;
  std::vector<MultipartPart> parts;
  std::string preamble;  // bytes before the first boundary line
  std::string epilogue;  // bytes after the closing line
};

// A strict multipart/form-data reader written from the format itself, independent of the
// client's writer: every part starts with "--B" CRLF, headers end with an empty line, the
// body runs up to CRLF "--B", the last boundary is "--B--" CRLF.
ParsedMultipart parseMultipart(std::string_view body, std::string_view boundary);

// The boundary parameter of a multipart Content-Type value, if any.
std::optional<std::string> boundaryOf(std::string_view contentType);

}  // namespace folium::testing
