#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "core/folium_client.hpp"
#include "core/server_api.hpp"

namespace folium {
namespace {

// A name in a disposition line stays one quoted string: `"`, CR and LF are escaped as
// browsers escape them; every other byte, non-ASCII included, is kept.
void appendDispositionName(std::string& out, std::string_view name) {
  for (char c : name) {
    switch (c) {
      case '"':
        out += "%22";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
    }
  }
}

std::string documentPath(const std::string& id) {
  std::string path(api::kDocumentsPath);
  path += '/';
  path += id;
  return path;
}

// An open file to upload, closed on every path.
class UploadFile {
 public:
  explicit UploadFile(const std::filesystem::path& path) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer before it could be refused.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0)
      throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
      const int error = errno;
      ::close(fd_);
      throw std::system_error(error, std::generic_category(), "cannot read " + path.string());
    }
    if (!S_ISREG(status.st_mode)) {
      ::close(fd_);
      if (S_ISDIR(status.st_mode)) {
        throw std::system_error(EISDIR, std::generic_category(), "cannot read " + path.string());
      }
      // A device or a pipe could send without end, or not what its size says.
      throw std::system_error(EINVAL, std::generic_category(),
                              "cannot upload " + path.string() + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
  }
  ~UploadFile() { ::close(fd_); }
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  platform::HttpBody::Piece contents() const {
    return platform::HttpBody::Piece::fileRegion(fd_, 0, size_);
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace

std::string mimeType(std::string_view filename) {
  const auto dot = filename.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  std::string extension(filename.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kTypes{{
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
  std::string contents;
  downloadDocument(id, [&contents](std::string_view bytes) { contents.append(bytes); });
  return contents;
}

std::uint64_t FoliumClient::downloadDocument(const std::string& id,
                                             const platform::HttpBodyWriter& write) const {
  std::uint64_t received = 0;
  send("GET", makeURL(documentPath(id) + std::string(api::kBlobSuffix)), false, {}, {},
       [&](std::string_view bytes) {
         write(bytes);
         received += bytes.size();
       });
  return received;
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
  return uploadDocument("POST", std::string(api::kDocumentsPath), filename,
                        platform::HttpBody::Piece(data), fields);
}

FoliumDocument FoliumClient::createDocument(const std::string& workspaceID,
                                            const std::optional<std::string>& folderID,
                                            const std::string& filename,
                                            const ContentsFile& file) const {
  std::vector<std::pair<std::string, std::string>> fields{
      {std::string(api::kWorkspaceIdItem), workspaceID}};
  if (folderID) fields.emplace_back(api::kFolderIdItem, *folderID);
  return uploadDocument("POST", std::string(api::kDocumentsPath), filename, file, fields);
}

FoliumDocument FoliumClient::updateDocumentContent(const std::string& id,
                                                   const std::string& filename,
                                                   std::string_view data) const {
  return uploadDocument("PATCH", documentPath(id), filename, platform::HttpBody::Piece(data), {});
}

FoliumDocument FoliumClient::updateDocumentContent(const std::string& id,
                                                   const std::string& filename,
                                                   const ContentsFile& file) const {
  return uploadDocument("PATCH", documentPath(id), filename, file, {});
}

FoliumDocument FoliumClient::uploadDocument(
    std::string_view method, const std::string& path, const std::string& filename,
    const ContentsFile& file,
    const std::vector<std::pair<std::string, std::string>>& fields) const {
  const UploadFile opened(file.path);
  return uploadDocument(method, path, filename, opened.contents(), fields);
}

FoliumDocument FoliumClient::uploadDocument(
    std::string_view method, const std::string& path, const std::string& filename,
    platform::HttpBody::Piece contents,
    const std::vector<std::pair<std::string, std::string>>& fields) const {
  const std::string url = makeURL(path);  // before building a body that may be large
  const std::string boundary = makeBoundary();
  const MultipartFraming framing =
      makeMultipartFraming(boundary, filename, mimeType(filename), fields);
  // The contents go out from the caller's buffer or file, between the framing pieces: no
  // copy of what may be gigabytes.
  auto response =
      send(method, url, true, {{"Content-Type", "multipart/form-data; boundary=" + boundary}},
           platform::HttpBody({framing.head, contents, framing.tail}));
  return decodeObject<FoliumDocument>(response.body);
}

}  // namespace folium
