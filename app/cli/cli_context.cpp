#include "app/cli/cli_context.hpp"
#include "app/cli/read_whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/shared_store.hpp"

namespace folium::app {
namespace {

[[noreturn]] void failUnreadable(const StoreContents& contents) {
  throw CliFailure("cannot read the profile store: " + contents.message);
}

}  // namespace

FoliumProvisioning readProfileFile(const std::string& path) {
  const std::string bytes = readWholeFile(path, "cannot read profile file ");
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
