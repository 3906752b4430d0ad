#include "devserver/content_type.hpp"

#include <array>
#include <utility>

namespace folium::devserver {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kByExtension{{
    {"md", "text/markdown"},
    {"markdown", "text/markdown"},
    {"mdown", "text/markdown"},
    {"mkd", "text/markdown"},
    {"mkdn", "text/markdown"},
    {"txt", "text/plain"},
    {"text", "text/plain"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"json", "application/json"},
    {"csv", "text/csv"},
    {"xml", "application/xml"},
    {"yaml", "application/yaml"},
}};

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
  std::string extension = lowerExtension(name);
  for (const auto& [ext, type] : kByExtension) {
    if (ext == extension) return std::string(type);
  }
  return "application/octet-stream";
}

bool isTextual(std::string_view contentType, std::string_view name) {
  // Parameters such as "; charset=utf-8" don't change the answer.
  std::string type(contentType.substr(0, contentType.find(';')));
  if (type.empty() || type == "application/octet-stream") type = contentTypeForName(name);
  return startsWith(type, "text/") || type == "application/json" || type == "application/xml" ||
         type == "application/yaml";
}

}  // namespace folium::devserver
