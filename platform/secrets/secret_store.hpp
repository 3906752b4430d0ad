#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace folium::platform {

// The three attributes that address one item of the per-user secret store.
struct SecretItemKey {
  std::string service;
  std::string account;
  std::string accessGroup;

  bool operator==(const SecretItemKey&) const = default;
};

enum class SecretStatus {
  ok,
  itemNotFound,  // no item has this key: a normal answer, not a failure
  failure,       // the store could not do it (I/O error, locked keyring, no D-Bus...)
};

// How one operation ended. `message` says what failed, naming the item or file, when the
// status is `failure`; it is empty otherwise.
struct [[nodiscard]] SecretOutcome {
  SecretStatus status = SecretStatus::ok;
  std::string message;

  bool ok() const { return status == SecretStatus::ok; }
  static SecretOutcome success() { return {}; }
  static SecretOutcome notFound() { return {SecretStatus::itemNotFound, {}}; }
  static SecretOutcome failed(std::string message) {
    return {SecretStatus::failure, std::move(message)};
  }
};

// The outcome of a read, with the item's data when the status is `ok`.
struct [[nodiscard]] SecretRead : SecretOutcome {
  std::string data;

  // A read that ended without data.
  static SecretRead without(SecretOutcome outcome) {
    SecretRead read;
    static_cast<SecretOutcome&>(read) = std::move(outcome);
    return read;
  }
};

// A protected per-user store of small secret items, shared by every process of the user.
// Operations never throw; they report through their outcome. Implementations accept calls
// from any thread and from several processes at once; there is no lock between processes,
// so of two overlapping writes the last one wins. Each write is whole: a reader sees the
// item's old data or its new data, never a mix.
class SecretStore {
 public:
  SecretStore() = default;
  SecretStore(const SecretStore&) = delete;
  SecretStore& operator=(const SecretStore&) = delete;
  virtual ~SecretStore() = default;

  virtual SecretRead read(const SecretItemKey& key) = 0;
  // Replaces the data of an existing item; `itemNotFound` when there is none.
  virtual SecretOutcome update(const SecretItemKey& key, std::string_view data) = 0;
  // Creates the item; a failure when an item with this key exists already.
  virtual SecretOutcome add(const SecretItemKey& key, std::string_view data) = 0;
  // Deletes the item; `itemNotFound` when there is none.
  virtual SecretOutcome remove(const SecretItemKey& key) = 0;
  // Keeps `data` in a new item of its own beside the item of `key`, named after it with
  // `suffix` appended (letters, digits, ".", "-" and "_" only), so that data about to be
  // replaced is not lost. Never overwrites: when that name is taken, a counter is added.
  virtual SecretOutcome keepAside(const SecretItemKey& key, std::string_view suffix,
                                  std::string_view data) = 0;
};

// Whether `suffix` may name a kept-aside copy: not empty, and only ASCII letters, digits,
// ".", "-" and "_".
bool isValidAsideSuffix(std::string_view suffix);

// Bad secret store configuration: an unknown FOLIUM_SECRET_STORE value.
class SecretStoreConfigError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The backend named by `choice`: "file" (or empty: the default) for FileSecretStore in its
// default folder, "secret-service" for SecretServiceStore. Throws SecretStoreConfigError
// for any other name.
std::unique_ptr<SecretStore> makeSecretStore(std::string_view choice);

// The backend the user chose with FOLIUM_SECRET_STORE (unset: the file backend). Throws
// SecretStoreConfigError for an unknown value.
std::unique_ptr<SecretStore> makeSecretStoreFromEnvironment();

// A store that cannot be used, for callers that must not throw when the configuration is
// bad: every operation fails with the configuration's message.
class UnavailableSecretStore final : public SecretStore {
 public:
  explicit UnavailableSecretStore(std::string reason) : reason_(std::move(reason)) {}
  SecretRead read(const SecretItemKey&) override { return {failed(), {}}; }
  SecretOutcome update(const SecretItemKey&, std::string_view) override { return failed(); }
  SecretOutcome add(const SecretItemKey&, std::string_view) override { return failed(); }
  SecretOutcome remove(const SecretItemKey&) override { return failed(); }
  SecretOutcome keepAside(const SecretItemKey&, std::string_view, std::string_view) override {
    return failed();
  }

 private:
  SecretOutcome failed() const { return SecretOutcome::failed(reason_); }
  std::string reason_;
};

}  // namespace folium::platform
