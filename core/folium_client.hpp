#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/folium_error.hpp"
#include "core/folium_provisioning.hpp"
#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "platform/http/http_session.hpp"

namespace folium {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// One page of a listing, and whether the server has more after it.
template <typename Record>
struct ListPage {
  std::vector<Record> records;
  bool hasMore = false;
};

// A JSON request body: string values, or null (std::nullopt).
using JsonFields = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Contents to upload, read from this file as they are sent. Only a regular file will do:
// its size is announced before the first byte goes out.
struct ContentsFile {
  std::filesystem::path path;
};

// The authenticated client of one document server. A small value: copies share the
// session. Every operation is a blocking call that returns its whole result or throws
// FoliumError (HTTP-level failure), platform::TransportError (no response),
// DecodingError (a body that does not fit), or InvalidAddressError (nothing sent because
// the base URL is not an absolute http(s) URL). Nothing is retried. Any thread may call any
// operation, concurrently.
class FoliumClient {
 public:
  FoliumClient(FoliumConfig config, std::shared_ptr<platform::HttpSession> session);

  const FoliumConfig& config() const { return config_; }
  const std::shared_ptr<platform::HttpSession>& session() const { return session_; }

  // A copy whose requests are cancelled through `token`, from any thread.
  FoliumClient withCancellation(platform::CancellationToken token) const;

  // The absolute URL of an endpoint: the base URL, "api/v1" and `path` joined with single
  // slashes; characters not allowed in a path percent-encoded ("/" in `path` separates
  // segments); the query items in order, names and values encoded so that the server reads
  // back exactly what was given. Throws InvalidAddressError.
  std::string makeURL(std::string_view path, const QueryItems& queryItems = {}) const;

  // Tree listing (all pages, 1000 records a page, at most 10000 pages) and lookup.
  std::vector<Workspace> listWorkspaces() const;
  std::vector<Folder> listFolders(const std::optional<std::string>& workspaceID,
                                  const std::optional<std::string>& parentFolderID) const;
  std::vector<FoliumDocument> listDocuments(const std::optional<std::string>& workspaceID,
                                            const std::optional<std::string>& folderID) const;
  // One page of the documents (`page` counts from 1), for a caller that uses each page as
  // it comes.
  ListPage<FoliumDocument> listDocumentsPage(const std::optional<std::string>& workspaceID,
                                             const std::optional<std::string>& folderID,
                                             std::int64_t page) const;
  Workspace getWorkspace(const std::string& id) const;
  Folder getFolder(const std::string& id) const;
  FoliumDocument getDocument(const std::string& id) const;

  // Tree mutations.
  Folder createFolder(const std::string& workspaceID,
                      const std::optional<std::string>& parentFolderID,
                      const std::string& name) const;
  Folder renameFolder(const std::string& id, const std::string& name) const;
  Folder moveFolder(const std::string& id, const std::optional<std::string>& toFolderID) const;
  void deleteFolder(const std::string& id) const;
  FoliumDocument renameDocument(const std::string& id, const std::string& name) const;
  FoliumDocument moveDocument(const std::string& id,
                              const std::optional<std::string>& toFolderID) const;
  void deleteDocument(const std::string& id) const;

  // Contents, whole in memory.
  std::string downloadDocument(const std::string& id) const;
  std::string download(const FoliumDocument& document) const;
  FoliumDocument createDocument(const std::string& workspaceID,
                                const std::optional<std::string>& folderID,
                                const std::string& filename, std::string_view data) const;
  FoliumDocument updateDocumentContent(const std::string& id, const std::string& filename,
                                       std::string_view data) const;

  // Contents streamed, never whole in memory: a download handed to `write` piece by piece
  // as it arrives (returns the number of bytes; what `write` throws stops the transfer and
  // passes through); an upload read from its file as it is sent. A file that cannot be
  // opened, or is not a regular file, throws std::system_error naming it, before anything
  // is sent.
  std::uint64_t downloadDocument(const std::string& id,
                                 const platform::HttpBodyWriter& write) const;
  FoliumDocument createDocument(const std::string& workspaceID,
                                const std::optional<std::string>& folderID,
                                const std::string& filename, const ContentsFile& file) const;
  FoliumDocument updateDocumentContent(const std::string& id, const std::string& filename,
                                       const ContentsFile& file) const;

  // One page of the change feed after `since`.
  ChangePage changes(std::int64_t since, std::int64_t limit) const;
  // The hits of a search, in the server's order.
  std::vector<SearchHit> search(const std::string& query, std::int64_t limit) const;

 private:
  // Steps shared by the operations above.
  void validateResponse(const platform::HttpResponse& response) const;
  template <typename Record>
  Record fetchObject(std::string_view path, const QueryItems& queryItems = {}) const;
  template <typename Record>
  ListPage<Record> fetchPage(std::string_view path, QueryItems queryItems, std::int64_t perPage,
                             std::int64_t page) const;
  template <typename Record>
  std::vector<Record> fetchAllPages(std::string_view path, QueryItems queryItems,
                                    std::int64_t perPage) const;
  template <typename Record>
  Record sendJSON(std::string_view path, std::string_view method, const JsonFields& body) const;
  void sendWithoutBody(std::string_view path, std::string_view method) const;

  // Sends one request with the common headers ("Authorization", and "Accept" when
  // `accept`), validates it and returns the accepted response.
  // With `bodyWriter`, a successful response's body goes there as it arrives.
  platform::HttpResponse send(std::string_view method, std::string url, bool accept,
                              platform::HttpHeaders extraHeaders = {},
                              platform::HttpBody body = {},
                              platform::HttpBodyWriter bodyWriter = {}) const;

  FoliumDocument uploadDocument(std::string_view method, const std::string& path,
                                const std::string& filename, platform::HttpBody::Piece contents,
                                const std::vector<std::pair<std::string, std::string>>& fields) const;
  FoliumDocument uploadDocument(std::string_view method, const std::string& path,
                                const std::string& filename, const ContentsFile& file,
                                const std::vector<std::pair<std::string, std::string>>& fields) const;

  FoliumConfig config_;
  std::shared_ptr<platform::HttpSession> session_;
  std::optional<platform::CancellationToken> cancellation_;
};

// Upload helpers.
// "application/octet-stream" unless the lower-cased extension is in a small fixed table.
std::string mimeType(std::string_view filename);
// "Boundary-" and a fresh random UUID in upper case.
std::string makeBoundary();
// The bytes of a multipart/form-data body around the file's contents: `head` holds the
// text fields and the file part's header lines, `tail` the end of the file part and the
// closing line. An upload sends head, contents and tail without joining them.
struct MultipartFraming {
  std::string head;
  std::string tail;
};
MultipartFraming makeMultipartFraming(std::string_view boundary, std::string_view filename,
                                      std::string_view mimeType,
                                      const std::vector<std::pair<std::string, std::string>>& fields);

// A multipart/form-data body: the text fields, then the file part "uploaded_file".
// `"`, CR and LF in names and the file name are escaped as %22, %0D and %0A.
std::string makeMultipartBody(std::string_view boundary, std::string_view filename,
                              std::string_view mimeType, std::string_view data,
                              const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace folium
