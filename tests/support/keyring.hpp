#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "tests/support/process.hpp"

namespace folium::testing {

// The Secret Service tests need the private D-Bus session with its own unlocked keyring
// that ctest starts for them (tests/support/run_in_keyring.sh); elsewhere they skip.
#define FOLIUM_SKIP_UNLESS_IN_KEYRING()                                                         \
  do {                                                                                          \
    if (std::getenv("FOLIUM_TEST_KEYRING") == nullptr) {                                        \
      GTEST_SKIP() << "runs in the private keyring session of tests/support/run_in_keyring.sh"; \
    }                                                                                           \
  } while (false)

// Locks the session's default keyring. Only a prompt could unlock it again, so a test that
// calls this needs a session of its own: its suite name must contain "SecretServiceLocked".
inline void lockKeyring() {
  const auto lock = runProcess({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets",
                                "--object-path", "/org/freedesktop/secrets", "--method",
                                "org.freedesktop.Secret.Service.Lock",
                                "['/org/freedesktop/secrets/collection/login']"});
  ASSERT_EQ(lock.exitCode, 0) << lock.err;
}

// Permission bits of a file or folder; 0 when it does not exist.
inline mode_t fileMode(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

inline std::set<std::string> folderEntries(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

}  // namespace folium::testing
