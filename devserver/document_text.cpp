#include "devserver/document_text.hpp"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "devserver/content_type.hpp"
#include "devserver/pdf_text.hpp"
#include "platform/text/utf8.hpp"

namespace folium::devserver {

namespace {

std::string readPrefix(const std::filesystem::path& file, std::size_t limit) {
  std::error_code ec;
  auto size = std::filesystem::file_size(file, ec);
  if (ec) return {};
  std::ifstream in(file, std::ios::binary);
  std::string bytes(std::min<std::uintmax_t>(size, limit), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

}  // namespace

std::string indexableText(const std::filesystem::path& file, std::string_view contentType,
                          std::string_view name) {
  std::string_view type = contentType.substr(0, contentType.find(';'));
  if (type == "application/pdf" || ((type.empty() || type == "application/octet-stream") &&
                                    contentTypeForName(name) == "application/pdf")) {
    std::string text = extractPdfText(readPrefix(file, kMaxPdfScannedBytes));
    if (text.size() > kMaxIndexedBytes) text.resize(kMaxIndexedBytes);
    return platform::sanitizeUtf8(text);
  }
  if (isTextual(contentType, name))
    return platform::sanitizeUtf8(readPrefix(file, kMaxIndexedBytes));
  return {};
}

}  // namespace folium::devserver
