#pragma once

#include <boost/json/fwd.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace folium {

// The records a document server sends. Identifiers are opaque strings (change records:
// integers); time stamps stay the server's text and are never parsed.

struct Workspace {
  std::string id;
  std::string label;
  std::optional<std::string> description;
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;

  bool operator==(const Workspace&) const = default;
};

struct Folder {
  std::string id;
  std::string name;
  std::optional<std::string> documentsFolderId;  // absent: top level of its workspace
  std::optional<std::string> workspaceId;
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;

  bool operator==(const Folder&) const = default;
};

struct FoliumDocument {
  std::string id;
  std::string name;
  std::optional<std::string> documentsFolderId;  // absent: top level of its workspace
  std::optional<std::string> workspaceId;
  std::optional<std::string> downloadUrl;  // carried only; contents are fetched by id
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;
  // Bytes of the contents, where the server tells them; a hint until they are downloaded.
  std::optional<std::int64_t> size;

  bool operator==(const FoliumDocument&) const = default;
};

struct SearchHit {
  std::string entityType;
  std::string entityId;
  std::string name;
  std::optional<std::int64_t> pageNumber;
  std::optional<std::string> excerpt;
  std::optional<std::string> updatedAt;
  std::optional<std::string> workspaceId;
  std::optional<std::string> folderId;

  // Identity in lists: two hits on one entity share it while still differing as values.
  const std::string& id() const { return entityId; }
  // Whether the hit is a file (picks its icon): the entity type mentions "File" or
  // "Document", case-sensitively, anywhere.
  bool isFile() const;

  bool operator==(const SearchHit&) const = default;
};

struct SearchResponse {
  std::vector<SearchHit> results;
  std::optional<std::int64_t> total;
  std::optional<std::int64_t> limit;
};

struct ChangeRecord {
  std::int64_t id = 0;
  std::string entityType;
  std::string entityId;
  std::string action;
  std::optional<std::string> workspaceId;
  std::optional<std::string> occurredAt;

  bool operator==(const ChangeRecord&) const = default;
};

struct ChangePage {
  std::vector<ChangeRecord> changes;
  std::int64_t cursor = 0;
  bool hasMore = false;
};

// A hash over all fields, consistent with equality (rows and windows are keyed on records).
std::size_t hashValue(const Workspace& record) noexcept;
std::size_t hashValue(const Folder& record) noexcept;
std::size_t hashValue(const FoliumDocument& record) noexcept;
std::size_t hashValue(const SearchHit& record) noexcept;

// Encoded forms: the field names themselves as keys, absent optional fields left out,
// computed properties not written.
boost::json::object toJson(const Workspace& record);
boost::json::object toJson(const Folder& record);
boost::json::object toJson(const FoliumDocument& record);
boost::json::object toJson(const SearchHit& record);
boost::json::object toJson(const ChangeRecord& record);
boost::json::object toJson(const ChangePage& page);

}  // namespace folium

template <>
struct std::hash<folium::Workspace> {
  std::size_t operator()(const folium::Workspace& r) const noexcept { return hashValue(r); }
};
template <>
struct std::hash<folium::Folder> {
  std::size_t operator()(const folium::Folder& r) const noexcept { return hashValue(r); }
};
template <>
struct std::hash<folium::FoliumDocument> {
  std::size_t operator()(const folium::FoliumDocument& r) const noexcept { return hashValue(r); }
};
template <>
struct std::hash<folium::SearchHit> {
  std::size_t operator()(const folium::SearchHit& r) const noexcept { return hashValue(r); }
};
