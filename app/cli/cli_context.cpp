#include "app/cli/cli_context.hpp"

#include "core/shared_store.hpp"
#include "platform/files/whole_file.hpp"

namespace folium::app {
namespace {

[[noreturn]] void failUnreadable(const StoreContents& contents) {
  throw CliFailure("cannot read the profile store: " + contents.message);
}

}  // namespace

FoliumProvisioning readProfileFile(const std::string& path) {
  // A profile is a small regular file: a FIFO must not block foliumctl, nor /dev/zero fill
  // its memory.
  const std::string bytes =
      platform::readWholeFile(path, platform::kSmallFile, "cannot read profile file");
  try {
    return FoliumProvisioning::decode(bytes);
  } catch (const std::exception& e) {
    throw CliFailure("cannot read profile file " + path + ": " + e.what());
  }
}

FoliumProvisioning CliContext::resolveProfile() const {
  if (profileGiven && domainGiven) {
    throw CliFailure("--profile and --domain name two instances: pass only one of them");
  }
  if (profileGiven) return readProfileFile(profilePath);

  const SharedStore store(SharedStore::appGroupID);
  if (domainGiven) {
    if (auto stored = store.provisioning(domain)) return *stored;
    if (auto contents = store.contents(); contents.state == StoreContents::State::unreadable) {
      failUnreadable(contents);
    }
    throw CliFailure("no profile stored for " + domain);
  }

  return onlyStoredProfile(store);
}

FoliumProvisioning onlyStoredProfile(const SharedStore& store) {
  const StoreContents contents = store.contents();
  if (contents.state == StoreContents::State::unreadable) failUnreadable(contents);
  if (contents.profiles.size() == 1) return contents.profiles.front();
  if (contents.profiles.empty()) {
    throw CliFailure("no profile stored: pass --profile FILE or --domain ID");
  }
  std::string domains;
  for (const auto& profile : contents.profiles) {
    if (!domains.empty()) domains += ", ";
    domains += profile.domainIdentifier();
  }
  throw CliFailure("several profiles stored (" + domains +
                   "): pass --profile FILE or --domain ID to choose one");
}

}  // namespace folium::app
