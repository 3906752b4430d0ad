#include "core/shared_store.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cstdlib>
#include <ctime>
#include <map>
#include <utility>

#include "core/json_decoding.hpp"

namespace folium {
namespace {

using ProfileMap = std::map<std::string, FoliumProvisioning, std::less<>>;

std::shared_ptr<platform::SecretStore> chosenSecretStore() {
  try {
    return platform::makeSecretStoreFromEnvironment();
  } catch (const std::exception& e) {
    return std::make_shared<platform::UnavailableSecretStore>(e.what());
  }
}

// Canonical composition, so that "é" typed as one code point or as "e" and a combining
// accent sorts the same. Text that is not UTF-8 is compared as it stands.
std::string composed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::string(text);
  std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
  std::free(out);
  return result;
}

// Byte order of UTF-8 is the order of the code points it encodes.
std::vector<FoliumProvisioning> sortedByDisplayName(const ProfileMap& map) {
  std::vector<std::pair<std::string, const FoliumProvisioning*>> keyed;
  keyed.reserve(map.size());
  for (const auto& [id, profile] : map) keyed.emplace_back(composed(profile.displayName), &profile);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FoliumProvisioning> result;
  result.reserve(keyed.size());
  for (const auto& entry : keyed) result.push_back(*entry.second);
  return result;
}

// "20250106T203000Z": sorts in time order and is safe in a file name.
std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

std::string encodeMap(const ProfileMap& map) {
  boost::json::object object;
  for (const auto& [id, profile] : map) object[id] = profile.toJson();
  return boost::json::serialize(object);
}

}  // namespace

struct SharedStore::Snapshot {
  StoreContents::State state = StoreContents::State::absent;
  ProfileMap map;
  std::string undecodableData;
  std::string message;
};

platform::SecretItemKey SharedStore::itemKey() {
  return {std::string(service), std::string(account), std::string(accessGroup)};
}

SharedStore::SharedStore(std::string_view, std::shared_ptr<platform::SecretStore> secrets)
    : secrets_(std::move(secrets)) {
  if (secrets_ == nullptr) {
    secrets_ = std::make_shared<platform::UnavailableSecretStore>("no secret store was given");
  }
}

SharedStore::SharedStore(std::string_view appGroupID)
    : SharedStore(appGroupID, chosenSecretStore()) {}

SharedStore::Snapshot SharedStore::readMap() const {
  using State = StoreContents::State;
  Snapshot snapshot;
  platform::SecretRead read = secrets_->read(itemKey());
  if (read.status == platform::SecretStatus::itemNotFound) return snapshot;
  if (!read.ok()) {
    snapshot.state = State::unreadable;
    snapshot.message = std::move(read.message);
    return snapshot;
  }
  snapshot.state = State::stored;
  // An item without data holds no profiles, and nothing worth keeping aside.
  if (read.data.empty()) return snapshot;

  auto undecodable = [&](std::string why) {
    snapshot.state = State::undecodable;
    snapshot.map.clear();
    snapshot.undecodableData = std::move(read.data);
    snapshot.message = "the profile store holds data that does not decode: " + std::move(why);
    return std::move(snapshot);
  };
  boost::json::error_code ec;
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;  // as deep as a profile file may nest
  boost::json::value value = boost::json::parse(read.data, ec, {}, options);
  if (ec) return undecodable("not valid JSON (" + ec.message() + ")");
  if (!value.is_object()) return undecodable("not a JSON object");
  for (const auto& member : value.get_object()) {
    try {
      snapshot.map.insert_or_assign(std::string(member.key()),
                                    FoliumProvisioning::fromJson(member.value()));
    } catch (const std::exception& e) {
      return undecodable("profile \"" + std::string(member.key()) + "\": " + e.what());
    }
  }
  return snapshot;
}

StoreContents SharedStore::contents() const {
  try {
    Snapshot snapshot = readMap();
    return {snapshot.state, sortedByDisplayName(snapshot.map), std::move(snapshot.message)};
  } catch (const std::exception& e) {
    return {StoreContents::State::unreadable, {}, e.what()};
  }
}

std::vector<FoliumProvisioning> SharedStore::all() const { return contents().profiles; }

std::optional<FoliumProvisioning> SharedStore::provisioning(std::string_view forDomain) const {
  try {
    Snapshot snapshot = readMap();
    if (auto found = snapshot.map.find(forDomain); found != snapshot.map.end()) {
      return found->second;
    }
  } catch (const std::exception&) {
    // Reads as an empty store, like every other read failure.
  }
  return std::nullopt;
}

template <typename Change>
StoreResult SharedStore::rewrite(Change&& change) const {
  using State = StoreContents::State;
  try {
    Snapshot snapshot = readMap();
    if (snapshot.state == State::unreadable) {
      // Writing now would replace every stored profile with what this call leaves.
      return StoreResult::failure("cannot read the profile store: " + snapshot.message);
    }
    const platform::SecretItemKey key = itemKey();
    if (snapshot.state == State::undecodable) {
      auto kept = secrets_->keepAside(key, ".corrupt-" + utcStamp(), snapshot.undecodableData);
      if (!kept.ok()) {
        return StoreResult::failure(
            "cannot keep aside the profile store data that does not decode: " + kept.message);
      }
    }
    change(snapshot.map);
    const std::string data = encodeMap(snapshot.map);
    platform::SecretOutcome written = secrets_->update(key, data);
    if (written.status == platform::SecretStatus::itemNotFound) written = secrets_->add(key, data);
    if (!written.ok())
      return StoreResult::failure("cannot write the profile store: " + written.message);
    return StoreResult::success();
  } catch (const std::exception& e) {
    return StoreResult::failure(std::string("cannot write the profile store: ") + e.what());
  }
}

StoreResult SharedStore::save(const FoliumProvisioning& provisioning) const {
  return rewrite([&](ProfileMap& map) {
    map.insert_or_assign(provisioning.domainIdentifier(), provisioning);
  });
}

StoreResult SharedStore::remove(std::string_view domainIdentifier) const {
  return rewrite([&](ProfileMap& map) {
    if (auto found = map.find(domainIdentifier); found != map.end()) map.erase(found);
  });
}

StoreResult SharedStore::clearAll() const {
  try {
    platform::SecretOutcome removed = secrets_->remove(itemKey());
    if (removed.ok() || removed.status == platform::SecretStatus::itemNotFound) {
      return StoreResult::success();
    }
    return StoreResult::failure("cannot clear the profile store: " + removed.message);
  } catch (const std::exception& e) {
    return StoreResult::failure(std::string("cannot clear the profile store: ") + e.what());
  }
}

}  // namespace folium
