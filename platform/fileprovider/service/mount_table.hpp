#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace folium::platform::service {

// One mount of this process's mount namespace.
struct MountEntry {
  std::string device;  // "MAJOR:MINOR"; for FUSE, the minor number is the connection's
  std::filesystem::path mountPoint;
};

// The mount table (/proc/self/mountinfo), read without touching the mounts themselves, which
// may hang while their worker is stuck or gone.
std::vector<MountEntry> readMountTable();

// The device mounted at `path`, if anything is.
std::optional<std::string> mountedDevice(const std::filesystem::path& path);

// Fails every request in flight on the FUSE mount at `path`: a worker with a thread waiting
// on its own mount cannot even die of SIGKILL until then.
void abortFuseConnection(const std::filesystem::path& path);

}  // namespace folium::platform::service
