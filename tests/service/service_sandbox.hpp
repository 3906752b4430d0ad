#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

// In a test: skips it where FUSE cannot be used.
#define FOLIUM_SKIP_WITHOUT_FUSE() \
  if (!folium::testing::fuseAvailable()) GTEST_SKIP() << "/dev/fuse cannot be opened here"

namespace folium::testing {

// A temporary HOME for the drive service: the environment to run foliumctl with, and a
// cleanup that leaves nothing behind whatever the test did (the supervisor and its workers
// are found by their HOME and stopped, mounts under the folder are taken down).
class ServiceSandbox {
 public:
  ServiceSandbox();
  ~ServiceSandbox();
  ServiceSandbox(const ServiceSandbox&) = delete;
  ServiceSandbox& operator=(const ServiceSandbox&) = delete;

  const std::map<std::string, std::string>& env() const { return env_; }
  // For the service that foliumctl starts next.
  void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  std::filesystem::path home() const { return dir_ / "home"; }
  std::filesystem::path drives() const { return home() / "Folium"; }

  ProcessResult foliumctl(const std::vector<std::string>& args) const;
  // Every folium-fileproviderd process of this HOME: the supervisor and the workers.
  std::vector<int> supervisors() const;
  std::vector<int> workers(const std::string& identifier = {}) const;
  // Mount points under the sandbox, from the mount table.
  std::vector<std::filesystem::path> mounts() const;
  // Points this process's HOME and XDG variables at the sandbox (for the in-process
  // manager); restored on destruction.
  void enterInProcess();

 private:
  std::vector<int> processes(bool worker, const std::string& identifier) const;

  TempDir dir_;
  std::map<std::string, std::string> env_;
  std::optional<ScopedEnv> inProcess_;
};

}  // namespace folium::testing
