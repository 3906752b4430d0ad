#include "platform/secrets/secret_service_store.hpp"

#include <libsecret/secret.h>

#include <cstring>
#include <memory>
#include <string>

namespace folium::platform {
namespace {

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GHashTableDeleter {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct SecretValueDeleter {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListDeleter {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ServicePtr = std::unique_ptr<SecretService, GObjectDeleter>;
using CollectionPtr = std::unique_ptr<SecretCollection, GObjectDeleter>;
using AttributesPtr = std::unique_ptr<GHashTable, GHashTableDeleter>;
using ValuePtr = std::unique_ptr<SecretValue, SecretValueDeleter>;
using ItemListPtr = std::unique_ptr<GList, ItemListDeleter>;

// Collects a GError for one call and owns it afterwards.
class ErrorSlot {
 public:
  GError** out() { return &error_; }
  bool failed() const { return error_ != nullptr; }
  std::string message() const { return error_ != nullptr ? error_->message : "unknown error"; }
  ~ErrorSlot() {
    if (error_ != nullptr) g_error_free(error_);
  }

 private:
  GError* error_ = nullptr;
};

const SecretSchema* schema() {
  static const SecretSchema instance = [] {
    SecretSchema s;
    std::memset(&s, 0, sizeof s);
    s.name = SecretServiceStore::kSchemaName.data();
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {"access-group", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &instance;
}

std::string describe(const SecretItemKey& key) {
  return "secret item \"" + key.service + "\" / \"" + key.account + "\"";
}

SecretOutcome failure(const SecretItemKey& key, std::string_view what, const ErrorSlot& error) {
  return SecretOutcome::failed("Secret Service: cannot " + std::string(what) + " " + describe(key) +
                               ": " + error.message());
}

// The attribute table borrows the key's strings: the key must outlive it.
AttributesPtr attributesOf(const SecretItemKey& key) {
  AttributesPtr table(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(table.get(), const_cast<char*>("service"),
                      const_cast<char*>(key.service.c_str()));
  g_hash_table_insert(table.get(), const_cast<char*>("account"),
                      const_cast<char*>(key.account.c_str()));
  g_hash_table_insert(table.get(), const_cast<char*>("access-group"),
                      const_cast<char*>(key.accessGroup.c_str()));
  return table;
}

// D-Bus strings must be UTF-8 without NUL; anything else would be refused deep in GLib.
bool validKey(const SecretItemKey& key) {
  for (const std::string* text : {&key.service, &key.account, &key.accessGroup}) {
    if (text->find('\0') != std::string::npos ||
        !g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) {
      return false;
    }
  }
  return true;
}

SecretOutcome invalidKey(const SecretItemKey& key) {
  return SecretOutcome::failed("Secret Service: " + describe(key) +
                               " has an attribute that is not UTF-8 text");
}

// The items that carry exactly the key's attributes, locked ones included.
struct Search {
  ServicePtr service;
  ItemListPtr items;
  SecretOutcome outcome;
};

Search search(const SecretItemKey& key, SecretSearchFlags flags) {
  Search result;
  ErrorSlot error;
  result.service.reset(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
  if (result.service == nullptr) {
    result.outcome = failure(key, "reach the keyring for", error);
    return result;
  }
  auto attributes = attributesOf(key);
  result.items.reset(secret_service_search_sync(
      result.service.get(), schema(), attributes.get(),
      static_cast<SecretSearchFlags>(flags | SECRET_SEARCH_ALL), nullptr, error.out()));
  if (error.failed()) {
    result.items.reset();
    result.outcome = failure(key, "look up", error);
    return result;
  }
  for (GList* node = result.items.get(); node != nullptr; node = node->next) {
    if (secret_item_get_locked(SECRET_ITEM(node->data))) {
      result.outcome = SecretOutcome::failed("Secret Service: the keyring holding " +
                                             describe(key) + " is locked");
      return result;
    }
  }
  if (result.items == nullptr) result.outcome = SecretOutcome::notFound();
  return result;
}

ValuePtr valueOf(std::string_view data) {
  return ValuePtr(
      secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
}

// Stores a new item in the default collection, which must exist and be unlocked: storing
// into a locked one would ask the user to unlock it.
SecretOutcome store(const SecretItemKey& key, std::string_view data) {
  ErrorSlot error;
  ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
  if (service == nullptr) return failure(key, "reach the keyring for", error);
  CollectionPtr collection(secret_collection_for_alias_sync(
      service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
  if (error.failed()) return failure(key, "find the default keyring for", error);
  if (collection == nullptr) {
    return SecretOutcome::failed("Secret Service: there is no default keyring to store " +
                                 describe(key) + " in");
  }
  if (secret_collection_get_locked(collection.get())) {
    return SecretOutcome::failed("Secret Service: the default keyring is locked; cannot store " +
                                 describe(key));
  }
  auto attributes = attributesOf(key);
  auto value = valueOf(data);
  const std::string label = "Folium: " + key.service + " (" + key.account + ")";
  if (!secret_service_store_sync(service.get(), schema(), attributes.get(),
                                 SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                 error.out())) {
    return failure(key, "store", error);
  }
  return SecretOutcome::success();
}

}  // namespace

SecretRead SecretServiceStore::read(const SecretItemKey& key) {
  SecretRead result;
  if (!validKey(key)) {
    return SecretRead::without(invalidKey(key));
  }
  Search found = search(key, SECRET_SEARCH_LOAD_SECRETS);
  if (!found.outcome.ok()) {
    return SecretRead::without(found.outcome);
  }
  // Several items can carry the same attributes only if another program made them; the
  // first one is taken, as a keychain lookup limited to one would.
  auto* item = SECRET_ITEM(found.items->data);
  ValuePtr value(secret_item_get_secret(item));
  if (value == nullptr) {
    ErrorSlot error;
    if (!secret_item_load_secret_sync(item, nullptr, error.out())) {
      return SecretRead::without(failure(key, "read", error));
    }
    value.reset(secret_item_get_secret(item));
  }
  if (value == nullptr) {
    return SecretRead::without(
        SecretOutcome::failed("Secret Service: no data came back for " + describe(key)));
  }
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  result.data.assign(bytes, length);
  return result;
}

SecretOutcome SecretServiceStore::update(const SecretItemKey& key, std::string_view data) {
  if (!validKey(key)) return invalidKey(key);
  Search found = search(key, SECRET_SEARCH_NONE);
  if (!found.outcome.ok()) return found.outcome;
  auto value = valueOf(data);
  for (GList* node = found.items.get(); node != nullptr; node = node->next) {
    ErrorSlot error;
    if (!secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), nullptr, error.out())) {
      return failure(key, "update", error);
    }
  }
  return SecretOutcome::success();
}

SecretOutcome SecretServiceStore::add(const SecretItemKey& key, std::string_view data) {
  if (!validKey(key)) return invalidKey(key);
  Search found = search(key, SECRET_SEARCH_NONE);
  if (found.outcome.ok()) {
    return SecretOutcome::failed("Secret Service: " + describe(key) + " exists already");
  }
  if (found.outcome.status != SecretStatus::itemNotFound) return found.outcome;
  return store(key, data);
}

SecretOutcome SecretServiceStore::remove(const SecretItemKey& key) {
  if (!validKey(key)) return invalidKey(key);
  Search found = search(key, SECRET_SEARCH_NONE);
  if (!found.outcome.ok()) return found.outcome;
  for (GList* node = found.items.get(); node != nullptr; node = node->next) {
    ErrorSlot error;
    if (!secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, error.out())) {
      return failure(key, "delete", error);
    }
  }
  return SecretOutcome::success();
}

SecretOutcome SecretServiceStore::keepAside(const SecretItemKey& key, std::string_view suffix,
                                            std::string_view data) {
  constexpr int kMaxAttempts = 100;
  if (!isValidAsideSuffix(suffix)) {
    return SecretOutcome::failed("invalid suffix for a kept-aside secret: \"" +
                                 std::string(suffix) + "\"");
  }
  SecretItemKey aside = key;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    aside.account = key.account + std::string(suffix);
    if (attempt > 0) aside.account += "-" + std::to_string(attempt);
    if (!validKey(aside)) return invalidKey(aside);
    Search found = search(aside, SECRET_SEARCH_NONE);
    if (found.outcome.ok()) continue;  // that name is taken
    if (found.outcome.status != SecretStatus::itemNotFound) return found.outcome;
    return store(aside, data);
  }
  return SecretOutcome::failed("Secret Service: cannot keep a copy of " + describe(key) +
                               ": every name for it is taken");
}

}  // namespace folium::platform
