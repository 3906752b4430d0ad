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

MultipartFraming makeMultipartFraming(
    std::string_view boundary, std::string_view filename, std::string_view mimeType,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  MultipartFraming framing;
  std::string& head = framing.head;
  for (const auto& [name, value] : fields) {
    head += "--";
    head += boundary;
    head += "\r\nContent-Disposition: form-data; name=\"";
    appendDispositionName(head, name);
    head += "\"\r\n\r\n";
    head += value;
    head += "\r\n";
  }
  head += "--";
  head += boundary;
  head += "\r\nContent-Disposition: form-data; name=\"";
  head += api::kFilePart;
  head += "\"; filename=\"";
  appendDispositionName(head, filename);
  head += "\"\r\nContent-Type: ";
  head += mimeType;
  head += "\r\n\r\n";
  framing.tail = "\r\n--" + std::string(boundary) + "--\r\n";
  return framing;
}

std::string makeMultipartBody(std::string_view boundary, std::string_view filename,
                              std::string_view mimeType, std::string_view data,
                              const std::vector<std::pair<std::string, std::string>>& fields) {
  const MultipartFraming framing = makeMultipartFraming(boundary, filename, mimeType, fields);
  std::string body;
  body.reserve(framing.head.size() + data.size() + framing.tail.size());
  body += framing.head;
  body += data;
  body += framing.tail;
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
  const MultipartFraming framing =
      makeMultipartFraming(boundary, filename, mimeType(filename), fields);
  // The contents go out from the caller's buffer, between the framing pieces: no copy of
  // what may be gigabytes.
  auto response = send(method, url, true,
                       {{"Content-Type", "multipart/form-data; boundary=" + boundary}},
                       platform::HttpBody({framing.head, data, framing.tail}));
  return decodeObject<FoliumDocument>(response.body);
}

}  // namespace folium
