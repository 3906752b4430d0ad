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

// Folds each field into the seed, position by position, so that values moved from one
// field to the next hash differently; an absent optional differs from a present empty one.
class Hasher {
 public:
  template <typename T>
  Hasher& add(const T& value) noexcept {
    mix(std::hash<T>{}(value));
    return *this;
  }
  template <typename T>
  Hasher& add(const std::optional<T>& value) noexcept {
    mix(value.has_value());
    if (value) mix(std::hash<T>{}(*value));
    return *this;
  }
  std::size_t value() const noexcept { return seed_; }

 private:
  void mix(std::size_t h) noexcept {
    seed_ ^= h + 0x9e3779b97f4a7c15ULL + (seed_ << 6) + (seed_ >> 2);
  }
  std::size_t seed_ = 0;
};

}  // namespace

std::size_t hashValue(const Workspace& r) noexcept {
  return Hasher()
      .add(r.id)
      .add(r.label)
      .add(r.description)
      .add(r.createdAt)
      .add(r.updatedAt)
      .value();
}

std::size_t hashValue(const Folder& r) noexcept {
  return Hasher()
      .add(r.id)
      .add(r.name)
      .add(r.documentsFolderId)
      .add(r.workspaceId)
      .add(r.createdAt)
      .add(r.updatedAt)
      .value();
}

std::size_t hashValue(const FoliumDocument& r) noexcept {
  return Hasher()
      .add(r.id)
      .add(r.name)
      .add(r.documentsFolderId)
      .add(r.workspaceId)
      .add(r.downloadUrl)
      .add(r.createdAt)
      .add(r.updatedAt)
      .add(r.size)
      .value();
}

std::size_t hashValue(const SearchHit& r) noexcept {
  return Hasher()
      .add(r.entityType)
      .add(r.entityId)
      .add(r.name)
      .add(r.pageNumber)
      .add(r.excerpt)
      .add(r.updatedAt)
      .add(r.workspaceId)
      .add(r.folderId)
      .value();
}

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
  put(o, "size", record.size);
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
