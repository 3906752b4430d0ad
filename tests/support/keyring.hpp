#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

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

}  // namespace folium::testing
