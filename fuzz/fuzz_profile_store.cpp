// The profile store's item, holding any bytes. Reading it never throws; saving a profile
// then keeps every profile that was read, and keeps aside, byte for byte, data that did not
// decode before replacing it.
#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_decoding.hpp"
#include "core/shared_store.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using namespace folium;
using platform::SecretItemKey;
using platform::SecretOutcome;
using platform::SecretRead;

class MemorySecretStore final : public platform::SecretStore {
 public:
  std::optional<std::string> item;
  std::optional<std::string> keptAside;

  SecretRead read(const SecretItemKey&) override {
    if (!item) return SecretRead::without(SecretOutcome::notFound());
    SecretRead read;
    read.data = *item;
    return read;
  }
  SecretOutcome update(const SecretItemKey&, std::string_view data) override {
    if (!item) return SecretOutcome::notFound();
    item = std::string(data);
    return SecretOutcome::success();
  }
  SecretOutcome add(const SecretItemKey&, std::string_view data) override {
    if (item) return SecretOutcome::failed("the item exists");
    item = std::string(data);
    return SecretOutcome::success();
  }
  SecretOutcome remove(const SecretItemKey&) override {
    if (!item) return SecretOutcome::notFound();
    item.reset();
    return SecretOutcome::success();
  }
  SecretOutcome keepAside(const SecretItemKey&, std::string_view suffix,
                          std::string_view data) override {
    check(platform::isValidAsideSuffix(suffix));
    keptAside = std::string(data);
    return SecretOutcome::success();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  auto secrets = std::make_shared<MemorySecretStore>();
  secrets->item = bytes;
  const SharedStore store(SharedStore::appGroupID, secrets);

  const StoreContents before = store.contents();
  check(before.state != StoreContents::State::unreadable);
  check(before.state != StoreContents::State::absent);
  for (const FoliumProvisioning& profile : before.profiles) {
    (void)store.provisioning(profile.domainIdentifier());
  }

  const FoliumProvisioning added{Url::parse("https://fuzz.example.net"), "t", "Fuzz"};
  check(store.save(added).ok);
  if (before.state == StoreContents::State::undecodable) {
    check(secrets->keptAside == bytes);
  } else {
    check(!secrets->keptAside);
  }

  const StoreContents after = store.contents();
  check(after.state == StoreContents::State::stored);
  check(store.provisioning(added.domainIdentifier()) == added);
  // Every profile read before is still there, but the one stored under the new profile's
  // identifier, which it replaced.
  std::optional<FoliumProvisioning> replaced;
  if (before.state == StoreContents::State::stored && !bytes.empty()) {
    boost::json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    const boost::json::value value = boost::json::parse(bytes, {}, options);
    if (const auto* old = value.as_object().if_contains(added.domainIdentifier())) {
      replaced = FoliumProvisioning::fromJson(*old);
    }
  }
  for (const FoliumProvisioning& profile : before.profiles) {
    if (profile == replaced) continue;
    bool kept = false;
    for (const FoliumProvisioning& stored : after.profiles) kept = kept || stored == profile;
    check(kept);
  }
  return 0;
}
