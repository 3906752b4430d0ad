#include "devserver/wire_json.hpp"

#include <string>

#include "core/server_api.hpp"

namespace folium::devserver {

namespace json = boost::json;

namespace {

json::value idOrNull(const std::optional<EntityId>& id) {
  if (!id) return nullptr;
  return json::string(std::to_string(*id));
}

}  // namespace

json::object toWire(const WorkspaceRow& row) {
  json::object o;
  o["id"] = std::to_string(row.id);
  o["label"] = row.label;
  o["description"] = row.description ? json::value(*row.description) : json::value(nullptr);
  o["created_at"] = row.createdAt;
  o["updated_at"] = row.updatedAt;
  return o;
}

json::object toWire(const FolderRow& row) {
  json::object o;
  o["id"] = std::to_string(row.id);
  o["name"] = row.name;
  o[api::kFolderIdItem] = idOrNull(row.parentId);
  o[api::kWorkspaceIdItem] = std::to_string(row.workspaceId);
  o["created_at"] = row.createdAt;
  o["updated_at"] = row.updatedAt;
  return o;
}

json::object toWire(const DocumentRow& row, std::string_view baseURL) {
  std::string id = std::to_string(row.id);
  json::object o;
  o["id"] = id;
  o["name"] = row.name;
  o[api::kFolderIdItem] = idOrNull(row.folderId);
  o[api::kWorkspaceIdItem] = std::to_string(row.workspaceId);
  std::string url(baseURL);
  url += api::kApiRoot;
  url += '/';
  url += api::kDocumentsPath;
  url += '/';
  url += id;
  url += api::kBlobSuffix;
  o["download_url"] = url;
  o["content_type"] = row.contentType;
  o["size"] = row.size;
  o["created_at"] = row.createdAt;
  o["updated_at"] = row.updatedAt;
  return o;
}

json::object toWire(const ChangeRow& row) {
  json::object o;
  o["id"] = row.id;
  o["entity_type"] = row.entityType;
  o["entity_id"] = std::to_string(row.entityId);
  o["action"] = row.action;
  o[api::kWorkspaceIdItem] = idOrNull(row.workspaceId);
  o["occurred_at"] = row.occurredAt;
  return o;
}

json::object toWire(const SearchRow& row) {
  json::object o;
  o["entity_type"] = row.entityType;
  o["entity_id"] = std::to_string(row.entityId);
  o["name"] = row.name;
  if (row.excerpt) o["excerpt"] = *row.excerpt;
  o[api::kWorkspaceIdItem] = std::to_string(row.workspaceId);
  o["folder_id"] = idOrNull(row.folderId);
  o["updated_at"] = row.updatedAt;
  return o;
}

}  // namespace folium::devserver
