#include "core/folium_client.hpp"
#include "core/server_api.hpp"

namespace folium {
namespace {

QueryItems filters(const std::optional<std::string>& workspaceID,
                   const std::optional<std::string>& folderID) {
  QueryItems items;
  if (workspaceID) items.emplace_back(api::kWorkspaceIdItem, *workspaceID);
  if (folderID) items.emplace_back(api::kFolderIdItem, *folderID);
  return items;
}

std::string itemPath(std::string_view collection, const std::string& id) {
  std::string path(collection);
  path += '/';
  path += id;
  return path;
}

}  // namespace

std::vector<Workspace> FoliumClient::listWorkspaces() const {
  return fetchAllPages<Workspace>(api::kWorkspacesPath, {}, api::kPageSize);
}

std::vector<Folder> FoliumClient::listFolders(
    const std::optional<std::string>& workspaceID,
    const std::optional<std::string>& parentFolderID) const {
  return fetchAllPages<Folder>(api::kFoldersPath, filters(workspaceID, parentFolderID),
                               api::kPageSize);
}

std::vector<FoliumDocument> FoliumClient::listDocuments(
    const std::optional<std::string>& workspaceID,
    const std::optional<std::string>& folderID) const {
  return fetchAllPages<FoliumDocument>(api::kDocumentsPath, filters(workspaceID, folderID),
                                       api::kPageSize);
}

ListPage<FoliumDocument> FoliumClient::listDocumentsPage(
    const std::optional<std::string>& workspaceID, const std::optional<std::string>& folderID,
    std::int64_t page) const {
  return fetchPage<FoliumDocument>(api::kDocumentsPath, filters(workspaceID, folderID),
                                   api::kPageSize, page);
}

Workspace FoliumClient::getWorkspace(const std::string& id) const {
  return fetchObject<Workspace>(itemPath(api::kWorkspacesPath, id));
}

Folder FoliumClient::getFolder(const std::string& id) const {
  return fetchObject<Folder>(itemPath(api::kFoldersPath, id));
}

FoliumDocument FoliumClient::getDocument(const std::string& id) const {
  return fetchObject<FoliumDocument>(itemPath(api::kDocumentsPath, id));
}

Folder FoliumClient::createFolder(const std::string& workspaceID,
                                  const std::optional<std::string>& parentFolderID,
                                  const std::string& name) const {
  JsonFields body{{std::string(api::kNameKey), name},
                  {std::string(api::kWorkspaceIdItem), workspaceID}};
  if (parentFolderID) body.emplace_back(api::kFolderIdItem, *parentFolderID);
  return sendJSON<Folder>(api::kFoldersPath, "POST", body);
}

Folder FoliumClient::renameFolder(const std::string& id, const std::string& name) const {
  return sendJSON<Folder>(itemPath(api::kFoldersPath, id), "PATCH",
                          {{std::string(api::kNameKey), name}});
}

Folder FoliumClient::moveFolder(const std::string& id,
                                const std::optional<std::string>& toFolderID) const {
  return sendJSON<Folder>(itemPath(api::kFoldersPath, id), "PATCH",
                          {{std::string(api::kFolderIdItem), toFolderID}});
}

void FoliumClient::deleteFolder(const std::string& id) const {
  sendWithoutBody(itemPath(api::kFoldersPath, id), "DELETE");
}

FoliumDocument FoliumClient::renameDocument(const std::string& id,
                                            const std::string& name) const {
  return sendJSON<FoliumDocument>(itemPath(api::kDocumentsPath, id), "PATCH",
                                  {{std::string(api::kNameKey), name}});
}

FoliumDocument FoliumClient::moveDocument(const std::string& id,
                                          const std::optional<std::string>& toFolderID) const {
  return sendJSON<FoliumDocument>(itemPath(api::kDocumentsPath, id), "PATCH",
                                  {{std::string(api::kFolderIdItem), toFolderID}});
}

void FoliumClient::deleteDocument(const std::string& id) const {
  sendWithoutBody(itemPath(api::kDocumentsPath, id), "DELETE");
}

ChangePage FoliumClient::changes(std::int64_t since, std::int64_t limit) const {
  return fetchObject<ChangePage>(
      api::kChangesPath,
      {{std::string(api::kCursorItem), std::to_string(since)},
       {std::string(api::kLimitItem), std::to_string(limit)}});
}

std::vector<SearchHit> FoliumClient::search(const std::string& query, std::int64_t limit) const {
  return fetchObject<SearchResponse>(api::kSearchPath,
                                     {{std::string(api::kQueryItem), query},
                                      {std::string(api::kLimitItem), std::to_string(limit)}})
      .results;
}

}  // namespace folium
