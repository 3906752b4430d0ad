#include "platform/secrets/secret_store.hpp"

#include <cstdlib>

#include "platform/secrets/file_secret_store.hpp"
#include "platform/secrets/secret_service_store.hpp"

namespace folium::platform {

bool isValidAsideSuffix(std::string_view suffix) {
  if (suffix.empty()) return false;
  for (const char c : suffix) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

std::unique_ptr<SecretStore> makeSecretStore(std::string_view choice) {
  if (choice.empty() || choice == "file") {
    return std::make_unique<FileSecretStore>(FileSecretStore::defaultFolder());
  }
  if (choice == "secret-service") return std::make_unique<SecretServiceStore>();
  throw SecretStoreConfigError("unknown secret store \"" + std::string(choice) +
                               "\" in FOLIUM_SECRET_STORE: use \"file\" or \"secret-service\"");
}

std::unique_ptr<SecretStore> makeSecretStoreFromEnvironment() {
  const char* choice = std::getenv("FOLIUM_SECRET_STORE");
  return makeSecretStore(choice != nullptr ? choice : "");
}

}  // namespace folium::platform
