#include "tests/support/multipart.hpp"

namespace folium::testing {

std::optional<std::string> boundaryOf(std::string_view contentType) {
  const std::string_view prefix = "multipart/form-data; boundary=";
  if (contentType.substr(0, prefix.size()) != prefix) return std::nullopt;
  return std::string(contentType.substr(prefix.size()));
}

ParsedMultipart parseMultipart(std::string_view body, std::string_view boundary) {
  ParsedMultipart result;
  const std::string delimiter = "--" + std::string(boundary);
  std::size_t pos = body.find(delimiter);
  if (pos == std::string_view::npos) {
    result.error = "no boundary line";
    return result;
  }
  result.preamble = std::string(body.substr(0, pos));
  pos += delimiter.size();
  while (true) {
    if (body.substr(pos, 4) == "--\r\n") {
      result.epilogue = std::string(body.substr(pos + 4));
      result.valid = true;
      return result;
    }
    if (body.substr(pos, 2) != "\r\n") {
      result.error = "boundary not followed by CRLF";
      return result;
    }
    pos += 2;
    MultipartPart part;
    while (true) {
      const std::size_t eol = body.find("\r\n", pos);
      if (eol == std::string_view::npos) {
        result.error = "unterminated header";
        return result;
      }
      const std::string_view line = body.substr(pos, eol - pos);
      pos = eol + 2;
      if (line.empty()) break;
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) {
        result.error = "header line without colon: " + std::string(line);
        return result;
      }
      std::string name(line.substr(0, colon));
      std::string value(line.substr(colon + 1));
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
      if (name == "Content-Disposition") part.disposition = value;
      if (name == "Content-Type") part.contentType = value;
      part.headers.emplace_back(std::move(name), std::move(value));
    }
    const std::string next = "\r\n" + delimiter;
    const std::size_t end = body.find(next, pos);
    if (end == std::string_view::npos) {
      result.error = "part without closing boundary";
      return result;
    }
    part.body = std::string(body.substr(pos, end - pos));
    result.parts.push_back(std::move(part));
    pos = end + next.size();
  }
}

}  // namespace folium::testing
