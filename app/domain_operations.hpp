#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <variant>

#include "app/app_services.hpp"
#include "core/folium_provisioning.hpp"
#include "platform/fileprovider/domain.hpp"

namespace folium::app {

// The operations that keep the service's domains in step with the profile store, shared by
// the connection screen, the tray application's start-up and URL entry, and foliumctl.
// Each completion runs on the main thread (services.mainThread).

// The domain that serves a profile: its domain identifier and display name.
platform::FileProviderDomain makeDomain(const FoliumProvisioning& provisioning);

// Brings the registered domains in line with the stored profiles: removes every registered
// domain that no profile wants, registers every profile that has no domain, and leaves the
// others alone (even with another display name). Errors of the service are ignored; the
// completion runs once every request has completed. When the store cannot be read at all,
// nothing is removed: a keyring that is locked for a moment must not take the user's drives
// away.
void reconcileDomains(const AppServices& services, std::function<void()> completion);

// Asks every registered domain to look for changes again: the working set, then the root.
// A domain without a manager is skipped, and the service's errors are ignored. The
// completion runs once every request has completed.
void refreshAll(const AppServices& services, std::function<void()> completion);

// Why a profile file handed over by the desktop was not imported.
struct ImportFailure {
  enum class Stage { read, decode, store, register_ };
  Stage stage;
  std::string message;  // the reason, as the failing step gave it
};
using ImportOutcome = std::variant<FoliumProvisioning, ImportFailure>;

// Imports the profile file at `file` (a .foliumprofile the desktop handed over): reads and
// decodes it, stores the profile (replacing one for the same domain identifier) and
// registers its domain. The completion gets the profile, or the failure that stopped the
// import; the profile stays stored when only the registration failed.
void importProfile(const AppServices& services, const std::filesystem::path& file,
                   std::function<void(ImportOutcome)> completion);

}  // namespace folium::app
