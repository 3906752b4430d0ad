#pragma once

#include <string_view>

#include "platform/secrets/secret_store.hpp"

namespace folium::platform {

// Secret items in the desktop's keyring, reached over D-Bus through the Secret Service
// (GNOME Keyring, KWallet). Each item carries the attributes "service", "account" and
// "access-group" on the schema "fr.quenor.folium.Secret" and is created in the default
// collection. A kept-aside copy is an item whose account carries the suffix.
//
// It never asks the user anything: an item in a locked keyring, a locked default keyring,
// a missing default keyring or an unreachable D-Bus session are failures, never
// `itemNotFound`, and never open an unlock prompt (which could wait forever on a machine
// without a display).
//
// Thread-safe: libsecret's blocking calls run their own main context; nothing is kept here.
class SecretServiceStore final : public SecretStore {
 public:
  static constexpr std::string_view kSchemaName = "fr.quenor.folium.Secret";

  SecretServiceStore() = default;

  SecretRead read(const SecretItemKey& key) override;
  SecretOutcome update(const SecretItemKey& key, std::string_view data) override;
  SecretOutcome add(const SecretItemKey& key, std::string_view data) override;
  SecretOutcome remove(const SecretItemKey& key) override;
  SecretOutcome keepAside(const SecretItemKey& key, std::string_view suffix,
                          std::string_view data) override;
};

}  // namespace folium::platform
