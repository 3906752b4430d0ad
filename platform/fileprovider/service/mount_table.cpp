#include "platform/fileprovider/service/mount_table.hpp"

#include <algorithm>
#include <fstream>
#include <string_view>

namespace folium::platform::service {
namespace {

// The table writes spaces, tabs, newlines and backslashes of paths as octal escapes.
std::string unescapeMountInfo(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits(text.substr(i + 1, 3));
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        result += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    result += text[i];
  }
  return result;
}

}  // namespace

std::vector<MountEntry> readMountTable() {
  std::vector<MountEntry> mounts;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT …
    std::vector<std::string_view> fields;
    std::string_view rest(line);
    while (fields.size() < 5) {
      const std::size_t space = rest.find(' ');
      fields.push_back(rest.substr(0, space));
      if (space == std::string_view::npos) break;
      rest.remove_prefix(space + 1);
    }
    if (fields.size() == 5) {
      mounts.push_back({std::string(fields[2]), unescapeMountInfo(fields[4])});
    }
  }
  return mounts;
}

std::optional<std::string> mountedDevice(const std::filesystem::path& path) {
  for (auto& mount : readMountTable()) {
    if (mount.mountPoint == path) return std::move(mount.device);
  }
  return std::nullopt;
}

void abortFuseConnection(const std::filesystem::path& path) {
  const auto device = mountedDevice(path);
  if (!device) return;
  const std::string connection = device->substr(device->find(':') + 1);
  std::ofstream("/sys/fs/fuse/connections/" + connection + "/abort") << "1\n";
}

}  // namespace folium::platform::service
