#include "devserver/content_type.hpp"

#include "core/folium_client.hpp"

namespace folium::devserver {

namespace {

std::string lowerExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string contentTypeForName(std::string_view name) {
  // The types the client sends, and two text formats more that search can read.
  const std::string extension = lowerExtension(name);
  if (extension == "xml") return "application/xml";
  if (extension == "yaml") return "application/yaml";
  return mimeType(name);
}

bool isTextual(std::string_view contentType, std::string_view name) {
  // Parameters such as "; charset=utf-8" don't change the answer.
  std::string type(contentType.substr(0, contentType.find(';')));
  if (type.empty() || type == "application/octet-stream") type = contentTypeForName(name);
  return startsWith(type, "text/") || type == "application/json" || type == "application/xml" ||
         type == "application/yaml";
}

}  // namespace folium::devserver
