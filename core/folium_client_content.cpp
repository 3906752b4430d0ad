#include <uuid/uuid.h>

#include <array>

#include "core/folium_client.hpp"
#include "core/server_api.hpp"

namespace folium {
namespace {

// A name in a disposition line stays one quoted string: `"`, CR and LF are escaped as
// browsers escape them; every other byte, non-ASCII included, is kept.
void appendDispositionName(std::string& out, std::string_view name) {
  for (char c : name) {
    switch (c) {
      case '"': out += "%22"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
}

}  // namespace

std::string mimeType(std::string_view filename) {
  const auto dot = filename.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  std::string extension(filename.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kTypes{{
      {"md", "text/markdown"},     {"markdown", "text/markdown"}, {"mdown", "text/markdown"},
      {"mkd", "text/markdown"},    {"mkdn", "text/markdown"},     {"txt", "text/plain"},
      {"text", "text/plain"},      {"pdf", "application/pdf"},    {"png", "image/png"},
      {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},        {"html", "text/html"},
      {"htm", "text/html"},        {"json", "application/json"},  {"csv", "text/csv"},
  }};
  for (const auto& [ext, type] : kTypes) {
    if (ext == extension) return std::string(type);
  }
  return "application/octet-stream";
}

std::string makeBoundary() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return std::string("Boundary-") + text;
}

std::string makeMultipartBody(std::string_view boundary, std::string_view filename,
                              std::string_view mimeType, std::string_view data,
                              const std::vector<std::pair<std::string, std::string>>& fields) {
  std::size_t size = data.size() + filename.size() * 3 + mimeType.size() + 160 +
                     (boundary.size() + 2) * 2;
  for (const auto& [name, value] : fields) size += name.size() * 3 + value.size() + 64 + boundary.size();
  std::string body;
  body.reserve(size);
  for (const auto& [name, value] : fields) {
    body += "--";
    body += boundary;
    body += "\r\nContent-Disposition: form-data; name=\"";
    appendDispositionName(body, name);
    body += "\"\r\n\r\n";
    body += value;
    body += "\r\n";
  }
  body += "--";
  body += boundary;
  body += "\r\nContent-Disposition: form-data; name=\"";
  body += api::kFilePart;
  body += "\"; filename=\"";
  appendDispositionName(body, filename);
  body += "\"\r\nContent-Type: ";
  body += mimeType;
  body += "\r\n\r\n";
  body += data;
  body += "\r\n--";
  body += boundary;
  body += "--\r\n";
  return body;
}

std::string FoliumClient::downloadDocument(const std::string& id) const {
  std::string path(api::kDocumentsPath);
  path += '/';
  path += id;
  path += api::kBlobSuffix;
  return std::move(send("GET", makeURL(path), false).body);
}

std::string FoliumClient::download(const FoliumDocument& document) const {
  return downloadDocument(document.id);
}

FoliumDocument FoliumClient::createDocument(const std::string& workspaceID,
                                            const std::optional<std::string>& folderID,
                                            const std::string& filename,
                                            std::string_view data) const {
  std::vector<std::pair<std::string, std::string>> fields{
      {std::string(api::kWorkspaceIdItem), workspaceID}};
  if (folderID) fields.emplace_back(api::kFolderIdItem, *folderID);
  return uploadDocument("POST", std::string(api::kDocumentsPath), filename, data, fields);
}

FoliumDocument FoliumClient::updateDocumentContent(const std::string& id,
                                                   const std::string& filename,
                                                   std::string_view data) const {
  std::string path(api::kDocumentsPath);
  path += '/';
  path += id;
  return uploadDocument("PATCH", path, filename, data, {});
}

FoliumDocument FoliumClient::uploadDocument(
    std::string_view method, const std::string& path, const std::string& filename,
    std::string_view data, const std::vector<std::pair<std::string, std::string>>& fields) const {
  const std::string url = makeURL(path);  // before building a body that may be large
  const std::string boundary = makeBoundary();
  const std::string body = makeMultipartBody(boundary, filename, mimeType(filename), data, fields);
  auto response = send(method, url, true,
                       {{"Content-Type", "multipart/form-data; boundary=" + boundary}}, body);
  return decodeObject<FoliumDocument>(response.body);
}

}  // namespace folium
