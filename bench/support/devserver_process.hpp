#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace folium::bench {

// A folium-devserver from the same build as the benchmark, on a free loopback port, with a
// fresh data folder in a private temporary folder (under `parent`; $TMPDIR or /tmp when
// empty). It accepts the token "bench-token". Stopped (SIGTERM, then SIGKILL) and its folder
// removed on destruction.
class DevserverProcess {
 public:
  explicit DevserverProcess(const std::vector<std::string>& extraArgs = {},
                            const std::filesystem::path& parent = {});
  ~DevserverProcess();
  DevserverProcess(const DevserverProcess&) = delete;
  DevserverProcess& operator=(const DevserverProcess&) = delete;

  const std::string& baseURL() const { return baseURL_; }  // "http://127.0.0.1:PORT/"
  const std::string& token() const { return token_; }
  // baseURL() followed by "api/v1/" and `path`.
  std::string apiURL(const std::string& path) const;

 private:
  void stop() noexcept;

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  std::string baseURL_;
  std::string token_ = "bench-token";
};

// The folder this program was started from: the build's bin/ folder.
std::filesystem::path programDirectory();

}  // namespace folium::bench
