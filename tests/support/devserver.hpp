#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/folium_client.hpp"
#include "tests/support/process.hpp"

namespace folium::testing {

// A folium-devserver on a free loopback port with a fresh data folder (in a private folder
// under `parent`, else in the temporary directory), accepting the token "test-token". Tests
// and benchmarks start it alike. Stopped and its data removed on destruction.
class Devserver {
 public:
  explicit Devserver(std::vector<std::string> extraArgs = {},
                     const std::filesystem::path& parent = {});
  ~Devserver();

  const std::string& baseURL() const { return baseURL_; }  // "http://127.0.0.1:PORT/"
  std::string apiURL(const std::string& path) const { return baseURL_ + "api/v1/" + path; }
  const std::string& token() const { return token_; }
  // The client's own calls to this server.
  FoliumClient client() const {
    return FoliumClient(FoliumConfig{Url::parse(baseURL_), token_}, platform::sharedHttpSession());
  }
  // A .foliumprofile file for this server (written on first call).
  std::filesystem::path profilePath();
  const std::filesystem::path& dataDir() const;
  // Stops the server, as one that goes away; start() brings it back on the same port and
  // data, with `extraArgs` in place of those it had.
  void stop() { process_.reset(); }
  void start(const std::vector<std::string>& extraArgs);

 private:
  TempDir dir_;
  std::filesystem::path dataDir_;
  std::unique_ptr<BackgroundProcess> process_;
  std::string baseURL_;
  std::string port_ = "0";
  std::string token_ = "test-token";
  std::filesystem::path profile_;
};

}  // namespace folium::testing
