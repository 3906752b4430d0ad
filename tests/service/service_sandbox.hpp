#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

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
  void abortMounts() const;

  TempDir dir_;
  std::map<std::string, std::string> env_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// Polls `condition` until it holds or `timeout` passes; whether it held. For waiting on
// other processes, never for timing.
bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds timeout = std::chrono::seconds(30));

}  // namespace folium::testing
