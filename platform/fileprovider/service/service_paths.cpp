#include "platform/fileprovider/service/service_paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <system_error>

#include "platform/files/file_names.hpp"

namespace folium::platform::service {
namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

fs::path homeDirectory() {
  std::string home = environment("HOME");
  if (!home.empty()) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  throw std::runtime_error("cannot find the home folder: set HOME");
}

// An XDG base folder: the variable when it holds an absolute path, else HOME/`fallback`.
fs::path xdgDirectory(const char* variable, const char* fallback) {
  fs::path value = environment(variable);
  if (value.is_absolute()) return value;
  return homeDirectory() / fallback;
}

// Length of the UTF-8 sequence that starts with `lead`; 1 for a byte that starts none.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The longest prefix of `text` of at most `maxBytes` bytes that ends on a character boundary.
std::string_view cutAtCharacter(std::string_view text, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + sequenceLength(static_cast<unsigned char>(text[end]));
    if (next > maxBytes || next > text.size()) break;
    end = next;
  }
  return text.substr(0, end);
}

}  // namespace

fs::path stateDirectory() { return xdgDirectory("XDG_STATE_HOME", ".local/state") / "folium"; }

fs::path socketDirectory() {
  fs::path runtime = environment("XDG_RUNTIME_DIR");
  if (runtime.is_absolute()) return runtime / "folium";
  return stateDirectory();
}

fs::path socketPath() { return socketDirectory() / "fileproviderd.sock"; }

fs::path registryPath() {
  return xdgDirectory("XDG_DATA_HOME", ".local/share") / "folium" / "domains.json";
}

fs::path domainStateDirectory(std::string_view identifier) {
  return stateDirectory() / "domains" / std::string(identifier);
}

fs::path drivesDirectory() {
  fs::path drives = environment("FOLIUM_DRIVES_DIR");
  if (!drives.empty()) return fs::absolute(drives);
  return homeDirectory() / "Folium";
}

void checkDomainIdentifier(std::string_view identifier) {
  auto fail = [&](const char* why) {
    throw std::invalid_argument("invalid domain identifier \"" + std::string(identifier) +
                                "\": " + why);
  };
  if (identifier.empty()) fail("it is empty");
  if (identifier == "." || identifier == "..") fail("it names a folder of its own");
  if (identifier.size() > 200) fail("it is longer than 200 bytes");
  for (char c : identifier) {
    if (c == '/') fail("it contains \"/\"");
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) fail("it contains a control character");
  }
}

std::string escapeDriveName(std::string_view displayName, std::size_t maxBytes) {
  const std::string name = escapeFileName(displayName);
  return std::string(cutAtCharacter(name, maxBytes));
}

std::vector<fs::path> driveMountPoints(const std::vector<FileProviderDomain>& domains,
                                       const fs::path& drivesDir) {
  std::set<std::string> taken;
  std::vector<fs::path> result;
  result.reserve(domains.size());
  for (const auto& domain : domains) {
    std::string name = escapeDriveName(domain.displayName);
    for (int n = 2; taken.count(name) != 0; ++n) {
      const std::string suffix = " (" + std::to_string(n) + ")";
      name = escapeDriveName(domain.displayName, 255 - suffix.size()) + suffix;
    }
    taken.insert(name);
    result.push_back(drivesDir / name);
  }
  return result;
}

}  // namespace folium::platform::service
