#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/secrets/secret_store.hpp"

namespace folium::platform {

// The default secret store: one file per item in a private folder of the user's data home,
// holding exactly the item's data. The folder is kept at mode 0700 and every file at 0600,
// whatever the umask. A write goes to a temporary file in the same folder, is flushed to
// disk and renamed over the item, then the folder is flushed: a reader, or a process
// started after a crash, finds the old data or the new data, never a torn file.
//
// Item file names (stored items are found by them, so this scheme must never change): the
// service, the account and the access group, each escaped, joined with "+" and followed by
// ".secret":
//   fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret
// Escaping keeps ASCII letters, digits, "-", "_" and "." and writes every other byte,
// "+" and "%" included, as "%" and two upper-case hex digits; a "." that would start the
// name is escaped too. A name therefore never holds "/", never starts with "." (temporary
// files do: ".<name>.tmp-XXXXXX") and never ends like a kept-aside copy
// ("<name>.corrupt-..."), and two distinct keys never share a name. Keys whose name would
// exceed 200 bytes are refused, which leaves room for the suffixes within NAME_MAX.
//
// Thread-safe and safe across processes: it holds nothing but the folder's path.
class FileSecretStore final : public SecretStore {
 public:
  // Items live directly in `folder`, which is created (with its missing parents, 0700) on
  // the first write.
  explicit FileSecretStore(std::filesystem::path folder);

  // $XDG_DATA_HOME/folium/secrets, or $HOME/.local/share/folium/secrets when XDG_DATA_HOME
  // is unset or not an absolute path. Empty when no home folder can be found.
  static std::filesystem::path defaultFolder();
  // The item's file name by the scheme above; empty when the key is too long.
  static std::string fileName(const SecretItemKey& key);

  const std::filesystem::path& folder() const { return folder_; }
  // Where the item's data lives (whether or not the item exists).
  std::filesystem::path itemPath(const SecretItemKey& key) const { return folder_ / fileName(key); }

  SecretRead read(const SecretItemKey& key) override;
  SecretOutcome update(const SecretItemKey& key, std::string_view data) override;
  SecretOutcome add(const SecretItemKey& key, std::string_view data) override;
  SecretOutcome remove(const SecretItemKey& key) override;
  SecretOutcome keepAside(const SecretItemKey& key, std::string_view suffix,
                          std::string_view data) override;

 private:
  enum class Placement { replace, create };
  // Checks the key and the folder; on success `path` is the item's file.
  SecretOutcome locate(const SecretItemKey& key, std::filesystem::path& path) const;
  SecretOutcome ensureFolder() const;
  void removeAbandonedTemporaries(const std::filesystem::path& path) const;
  // Writes `data` to a fresh temporary file and moves it to `path`: `replace` renames over
  // whatever is there, `create` fails when `path` exists.
  SecretOutcome writeFile(const std::filesystem::path& path, std::string_view data,
                          Placement placement) const;
  SecretOutcome syncFolder() const;

  std::filesystem::path folder_;
};

}  // namespace folium::platform
