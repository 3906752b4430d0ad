#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/folium_provisioning.hpp"
#include "platform/secrets/secret_store.hpp"

namespace folium {

// How a change to the profile store ended. On failure nothing was changed, and `message`
// says why ("cannot read secret file /home/u/...: Is a directory").
struct [[nodiscard]] StoreResult {
  bool ok = true;
  std::string message;

  explicit operator bool() const { return ok; }
  static StoreResult success() { return {}; }
  static StoreResult failure(std::string message) { return {false, std::move(message)}; }
};

// What one read of the profile store found, for callers that must tell an empty store
// from one that cannot be read.
struct [[nodiscard]] StoreContents {
  enum class State {
    stored,       // the item holds a map of profiles (possibly an empty one)
    absent,       // there is no item: no profile was ever saved, or the store was cleared
    undecodable,  // the item's data is not a map of profiles; it reads as an empty store
    unreadable,   // the secret store failed; nothing is known about the profiles
  };
  State state = State::absent;
  std::vector<FoliumProvisioning> profiles;  // in the order all() returns them
  std::string message;                       // undecodable, unreadable: why
};

// The connection profiles of every connected instance, kept together in one secret item
// that the application and the file-provider service both reach: a JSON object mapping
// each profile's domain identifier to the profile in the profile file format.
//
// Every operation reads the item afresh and, where it changes something, writes the whole
// map back; nothing is cached. There is no lock: of two overlapping writers (in this
// process or another) the last one wins. Safe to call from any thread, as the secret store
// handed in is.
//
// The operations never throw. Reads treat a missing item, a failing secret store and data
// that is not a map of profiles alike, as an empty store. Writes are more careful, so that
// no stored profile is ever lost:
//  - when the item cannot be read for any reason other than its absence, save() and
//    remove() write nothing and report the failure;
//  - when its data does not decode, the data is first kept aside in an item of its own
//    (the item's name with ".corrupt-<UTC time stamp>" appended), then replaced.
class SharedStore {
 public:
  static constexpr std::string_view appGroupID = "group.fr.quenor.folium";
  static constexpr std::string_view accessGroup = "K8W3TQZ2NP.fr.quenor.folium.shared";
  static constexpr std::string_view service = "fr.quenor.folium.provisionings";
  static constexpr std::string_view account = "all";

  // The secret item of the store.
  static platform::SecretItemKey itemKey();

  // Every store addresses the same item: the application group only names the sharing
  // that makes the item reachable from both programs. Performs no work.
  SharedStore(std::string_view appGroupID, std::shared_ptr<platform::SecretStore> secrets);
  // On the secret store chosen by FOLIUM_SECRET_STORE. A bad choice does not throw: every
  // operation then fails (reads are empty) with a message naming the bad value.
  explicit SharedStore(std::string_view appGroupID);

  // Every stored profile, sorted by display name: exact comparison of Unicode scalar values
  // after canonical composition (NFC), so case-sensitive and not locale-aware ("B" < "a").
  std::vector<FoliumProvisioning> all() const;
  std::optional<FoliumProvisioning> provisioning(std::string_view forDomain) const;
  // Stores the profile under its domain identifier, replacing any profile stored there.
  StoreResult save(const FoliumProvisioning& provisioning) const;
  // Removes the profile stored under the identifier, if any; writes the map either way,
  // so the item exists afterwards (holding "{}" when it was empty).
  StoreResult remove(std::string_view domainIdentifier) const;
  // Deletes the item with all profiles. Kept-aside copies of undecodable data stay.
  StoreResult clearAll() const;

  // One read of the item, with the reason when it holds no profiles.
  StoreContents contents() const;

 private:
  struct Snapshot;
  Snapshot readMap() const;
  // Reads the map, lets `change` edit it and writes it back, keeping undecodable data aside
  // first. Writes nothing when the read fails.
  template <typename Change>
  StoreResult rewrite(Change&& change) const;

  std::shared_ptr<platform::SecretStore> secrets_;
};

}  // namespace folium
