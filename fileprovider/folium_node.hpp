#pragma once

#include <string>
#include <string_view>

#include "platform/fileprovider/item_identifier.hpp"

namespace folium::fp {

// The kind of an entry of the drive, whether named by an identifier, built as an item or
// named by a change of the server's feed.
enum class Kind { root, workspace, folder, document };

// What an item identifier of the drive names: a workspace, folder or document of the
// server by its id, or the root. Identifiers are the prefix "ws:", "fo:" or "do:" followed by
// the server's id exactly as the server gave it, so they are stable across runs.
struct FoliumNode {
  using Case = Kind;

  Kind kind = Kind::root;
  std::string id;  // the server's id; empty for the root

  // Parses an identifier; never fails. Exact, case-sensitive prefixes; anything that is not
  // a workspace, folder or document (the working-set and trash containers included) is the
  // root. The id is everything after the prefix, possibly empty or holding more colons.
  explicit FoliumNode(std::string_view identifier);

  static FoliumNode workspace(std::string id) { return FoliumNode(Kind::workspace, std::move(id)); }
  static FoliumNode folder(std::string id) { return FoliumNode(Kind::folder, std::move(id)); }
  static FoliumNode document(std::string id) { return FoliumNode(Kind::document, std::move(id)); }
  static FoliumNode root() { return FoliumNode(Kind::root, {}); }

  platform::ItemIdentifier identifier() const;

  bool operator==(const FoliumNode&) const = default;

 private:
  FoliumNode(Kind kind, std::string id) : kind(kind), id(std::move(id)) {}
};

inline constexpr std::string_view kWorkspacePrefix = "ws:";
inline constexpr std::string_view kFolderPrefix = "fo:";
inline constexpr std::string_view kDocumentPrefix = "do:";

}  // namespace folium::fp
