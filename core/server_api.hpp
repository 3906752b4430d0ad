#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

// What the client expects of a document server, in one place. Every request goes below the
// API root (the instance address followed by "api/v1") and carries "Authorization: Bearer
// <token>". A status from 200 to 299 is success; the body of any other status is not read.
// JSON keys are snake_case. The reference server (devserver/) serves exactly this.
//
//   GET    documents/workspaces | documents/folders | documents/documents
//            query: workspace_id?, documents_folder_id? (folders, documents), per_page, page
//            answer: a JSON array per page; header "X-Has-More: true" while pages follow
//   GET    documents/workspaces/{id} | documents/folders/{id} | documents/documents/{id}
//            answer: one record
//   GET    documents/documents/{id}/blob          answer: the raw contents (no Accept sent)
//   POST   documents/documents                    multipart: workspace_id, documents_folder_id?,
//                                                 file part "uploaded_file"; answer: document
//   PATCH  documents/documents/{id}               multipart, file part only; answer: document
//   POST   documents/folders                      JSON name, workspace_id, documents_folder_id?
//   PATCH  documents/folders/{id} | documents/documents/{id}
//            JSON {"name": …} or {"documents_folder_id": string|null}; answer: the record
//   DELETE documents/folders/{id} | documents/documents/{id}   answer: any success status
//   GET    documents/changes   query: cursor, limit   answer: {"changes","cursor","has_more"}
//   GET    search              query: q, limit        answer: {"results","total"?,"limit"?}
//
// Meanings relied on: a folder or document without "documents_folder_id" lies at the top
// level of its workspace; a change whose "action" is "deleted" names an entity that is gone;
// an "entity_type" containing "Folder" is a folder, one containing "Workspace" a workspace,
// any other a document; reading the feed from cursor 0 until "has_more" is false reaches its
// present end, each page's "cursor" being where the next request continues.
namespace folium::api {

inline constexpr std::string_view kApiRoot = "api/v1";

inline constexpr std::string_view kWorkspacesPath = "documents/workspaces";
inline constexpr std::string_view kFoldersPath = "documents/folders";
inline constexpr std::string_view kDocumentsPath = "documents/documents";
inline constexpr std::string_view kBlobSuffix = "/blob";
inline constexpr std::string_view kChangesPath = "documents/changes";
inline constexpr std::string_view kSearchPath = "search";

inline constexpr std::string_view kWorkspaceIdItem = "workspace_id";
inline constexpr std::string_view kFolderIdItem = "documents_folder_id";
inline constexpr std::string_view kPerPageItem = "per_page";
inline constexpr std::string_view kPageItem = "page";
inline constexpr std::string_view kCursorItem = "cursor";
inline constexpr std::string_view kLimitItem = "limit";
inline constexpr std::string_view kQueryItem = "q";
inline constexpr std::string_view kNameKey = "name";
inline constexpr std::string_view kFilePart = "uploaded_file";

inline constexpr std::string_view kHasMoreHeader = "X-Has-More";

inline constexpr std::int64_t kPageSize = 1000;
inline constexpr std::int64_t kMaxPages = 10000;
inline constexpr std::chrono::seconds kRequestTimeout{60};

}  // namespace folium::api
