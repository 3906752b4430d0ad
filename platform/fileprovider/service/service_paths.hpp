#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fileprovider/domain.hpp"

namespace folium::platform::service {

// Where the drive service keeps its files. Every path follows HOME and the XDG variables of
// the calling process, so an isolated HOME gets a service of its own.
//
// The socket folder: $XDG_RUNTIME_DIR/folium, or $XDG_STATE_HOME/folium where the runtime
// folder is not set.
std::filesystem::path socketDirectory();
std::filesystem::path socketPath();
// $XDG_DATA_HOME/folium/domains.json
std::filesystem::path registryPath();
// $XDG_STATE_HOME/folium/domains/<identifier>
std::filesystem::path domainStateDirectory(std::string_view identifier);
// $XDG_STATE_HOME/folium
std::filesystem::path stateDirectory();
// FOLIUM_DRIVES_DIR, or ~/Folium
std::filesystem::path drivesDirectory();

// Throws std::invalid_argument naming the identifier when it cannot name a drive: empty,
// "." or "..", containing "/" or a control character, or longer than 200 bytes (it names
// folders and sockets).
void checkDomainIdentifier(std::string_view identifier);

// A display name made into one safe folder name: "/" shown as "∕", an empty name as "_",
// "." and ".." as "_." and "_..", no NUL, at most `maxBytes` bytes cut at a character
// boundary.
std::string escapeDriveName(std::string_view displayName, std::size_t maxBytes = 255);

// The mount point of each domain, in registration order: the escaped display name in
// `drivesDir`, later registrations of a name already taken getting "Name (2)", "Name (3)"…
std::vector<std::filesystem::path> driveMountPoints(const std::vector<FileProviderDomain>& domains,
                                                    const std::filesystem::path& drivesDir);

}  // namespace folium::platform::service
