#include "core/records.hpp"

#include <boost/json.hpp>

namespace folium {
namespace {

void put(boost::json::object& object, std::string_view key, const std::optional<std::string>& v) {
  if (v) object[key] = *v;
}

void put(boost::json::object& object, std::string_view key,
         const std::optional<std::int64_t>& v) {
  if (v) object[key] = *v;
}

}  // namespace

bool SearchHit::isFile() const {
  return entityType.find("File") != std::string::npos ||
         entityType.find("Document") != std::string::npos;
}

boost::json::object toJson(const Workspace& record) {
  boost::json::object o;
  o["id"] = record.id;
  o["label"] = record.label;
  put(o, "description", record.description);
  put(o, "createdAt", record.createdAt);
  put(o, "updatedAt", record.updatedAt);
  return o;
}

boost::json::object toJson(const Folder& record) {
  boost::json::object o;
  o["id"] = record.id;
  o["name"] = record.name;
  put(o, "documentsFolderId", record.documentsFolderId);
  put(o, "workspaceId", record.workspaceId);
  put(o, "createdAt", record.createdAt);
  put(o, "updatedAt", record.updatedAt);
  return o;
}

boost::json::object toJson(const FoliumDocument& record) {
  boost::json::object o;
  o["id"] = record.id;
  o["name"] = record.name;
  put(o, "documentsFolderId", record.documentsFolderId);
  put(o, "workspaceId", record.workspaceId);
  put(o, "downloadUrl", record.downloadUrl);
  put(o, "createdAt", record.createdAt);
  put(o, "updatedAt", record.updatedAt);
  return o;
}

boost::json::object toJson(const SearchHit& record) {
  boost::json::object o;
  o["entityType"] = record.entityType;
  o["entityId"] = record.entityId;
  o["name"] = record.name;
  put(o, "pageNumber", record.pageNumber);
  put(o, "excerpt", record.excerpt);
  put(o, "updatedAt", record.updatedAt);
  put(o, "workspaceId", record.workspaceId);
  put(o, "folderId", record.folderId);
  return o;
}

boost::json::object toJson(const ChangeRecord& record) {
  boost::json::object o;
  o["id"] = record.id;
  o["entityType"] = record.entityType;
  o["entityId"] = record.entityId;
  o["action"] = record.action;
  put(o, "workspaceId", record.workspaceId);
  put(o, "occurredAt", record.occurredAt);
  return o;
}

boost::json::object toJson(const ChangePage& page) {
  boost::json::object o;
  boost::json::array changes;
  changes.reserve(page.changes.size());
  for (const auto& change : page.changes) changes.push_back(toJson(change));
  o["changes"] = std::move(changes);
  o["cursor"] = page.cursor;
  o["hasMore"] = page.hasMore;
  return o;
}

}  // namespace folium
